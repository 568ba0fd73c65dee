#include "runtime/socket/resolver.h"

#include "runtime/socket/ipaddress.h"
#include "runtime/socket/resolver_settings.h"
#include "runtime/task/task.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

std::atomic<bool> dnsSetting{false};
std::atomic<bool> ipv6Setting{false};
bool readDns() { return dnsSetting.load(); }
bool readIpv6() { return ipv6Setting.load(); }

const char kUnknownName[] = "no-such-host.invalid";

class Resolver : public testing::Test {
protected:
    void SetUp() override
    {
        dnsSetting = false;
        ipv6Setting = false;
        setResolverSettingsSource(readDns, readIpv6);
    }
    void TearDown() override { setResolverSettingsSource(nullptr, nullptr); }
};

IpAddress parsed(const char* text)
{
    IpAddress address;
    parseIpAddress(address, text);
    return address;
}

// A value with every byte after the family set, to see what a call touches.
IpAddress marked(bool ip6)
{
    IpAddress address;
    address.clear(ip6);
    std::memset(address.rawBytes() + 2, 0x5a, IpAddress::kSize - 2);
    return address;
}

bool sameBytes(const IpAddress& a, const IpAddress& b)
{
    return std::memcmp(a.rawBytes(), b.rawBytes(), IpAddress::kSize) == 0;
}

bool zeroFrom(const IpAddress& address, std::size_t from)
{
    for (std::size_t i = from; i < IpAddress::kSize; ++i)
        if (address.rawBytes()[i] != 0)
            return false;
    return true;
}

bool isLoopback(const IpAddress& address)
{
    return address.equals(parsed("127.0.0.1")) || address.equals(parsed("::1"));
}

TEST_F(Resolver, EmptyTextFailsAndLeavesTheValue)
{
    dnsSetting = true;
    for (const char* text : {static_cast<const char*>(nullptr), ""}) {
        IpAddress out = marked(false);
        const IpAddress before = out;
        EXPECT_EQ(0, resolveHostName(out, text));
        EXPECT_TRUE(sameBytes(before, out));
    }
}

TEST_F(Resolver, UsableNumericTextNeedsNoLookup)
{
    // dns stays off: none of these may reach the name lookup.
    for (const char* text : {"10.1.2.3", "192.168.0.254", "fe80::1", "::", "2001:db8::1"}) {
        SCOPED_TRACE(text);
        IpAddress out = marked(true);
        EXPECT_EQ(1, resolveHostName(out, text));
        EXPECT_TRUE(sameBytes(parsed(text), out));
    }
}

TEST_F(Resolver, NamesAndUnusableNumbersNeedDns)
{
    for (const char* text : {"10.1.2.0", "10.1.2.255", "localhost"}) {
        SCOPED_TRACE(text);
        IpAddress out = marked(false);
        const IpAddress before = out;
        EXPECT_EQ(0, resolveHostName(out, text));
        EXPECT_TRUE(sameBytes(before, out));
    }

    // No settings source at all counts as dns off.
    setResolverSettingsSource(nullptr, nullptr);
    IpAddress out = marked(false);
    EXPECT_EQ(0, resolveHostName(out, "localhost"));
    EXPECT_TRUE(sameBytes(marked(false), out));
}

TEST_F(Resolver, NumericTextWithLastOctetZeroResolvesWithDns)
{
    dnsSetting = true;
    IpAddress out;
    EXPECT_EQ(1, resolveHostName(out, "10.1.2.0"));
    EXPECT_EQ(2, out.family());
    EXPECT_TRUE(out.equals(parsed("10.1.2.0")));
}

TEST_F(Resolver, LocalhostResolvesToLoopback)
{
    dnsSetting = true;
    IpAddress out;
    ASSERT_EQ(1, resolveHostName(out, "localhost"));
    EXPECT_EQ(2, out.family());
    EXPECT_TRUE(out.equals(parsed("127.0.0.1")));

    // With ipv6 on an IPv6 entry is preferred; a host without one falls back
    // to the IPv4 entry.
    ipv6Setting = true;
    IpAddress either;
    ASSERT_EQ(1, resolveHostName(either, "localhost"));
    EXPECT_TRUE(isLoopback(either)) << ipText(either);
}

TEST_F(Resolver, FoundAddressKeepsThePortAndNothingOfTheOldValue)
{
    dnsSetting = true;
    IpAddress out = marked(true);   // IPv6 with flow information and scope id
    out.setPort(25);
    ASSERT_EQ(1, resolveHostName(out, "localhost"));
    EXPECT_EQ(2, out.family());
    EXPECT_EQ(25, out.port());
    EXPECT_EQ("127.0.0.1", std::string(ipText(out)));
    EXPECT_TRUE(zeroFrom(out, 8));
}

TEST_F(Resolver, UnknownNameClearsEverythingAfterTheFamily)
{
    dnsSetting = true;
    for (bool ip6Setting : {false, true}) {
        ipv6Setting = ip6Setting;
        for (bool ip6Value : {false, true}) {
            SCOPED_TRACE(std::string("ipv6 ") + (ip6Setting ? "on" : "off") + ", value " +
                         (ip6Value ? "IPv6" : "IPv4"));
            IpAddress out = marked(ip6Value);
            EXPECT_EQ(0, resolveHostName(out, kUnknownName));
            EXPECT_EQ(ip6Value ? 10 : 2, out.family());
            EXPECT_TRUE(zeroFrom(out, 2));
        }
    }
    // The lock was given back.
    ASSERT_TRUE(resolverMutex.try_lock());
    resolverMutex.unlock();
}

// Runs a lookup on another thread; the test thread holds resolverMutex.
std::future<int> resolveElsewhere(const char* text, std::shared_ptr<IpAddress> out)
{
    return std::async(std::launch::async, [text, out] { return resolveHostName(*out, text); });
}

TEST_F(Resolver, NoLockTakenWithoutLookup)
{
    std::unique_lock<std::mutex> held(resolverMutex);
    auto numeric = resolveElsewhere("10.1.2.3", std::make_shared<IpAddress>());
    auto dnsOff = resolveElsewhere("localhost", std::make_shared<IpAddress>());
    const bool numericDone = numeric.wait_for(10s) == std::future_status::ready;
    const bool dnsOffDone = dnsOff.wait_for(10s) == std::future_status::ready;
    held.unlock();   // lets a wrongly waiting call finish before the checks
    ASSERT_TRUE(numericDone);
    ASSERT_TRUE(dnsOffDone);
    EXPECT_EQ(1, numeric.get());
    EXPECT_EQ(0, dnsOff.get());
}

TEST_F(Resolver, BusyLockIsWaitedForOnAPlainThread)
{
    dnsSetting = true;
    auto out = std::make_shared<IpAddress>();
    std::unique_lock<std::mutex> held(resolverMutex);
    auto lookup = resolveElsewhere("localhost", out);
    EXPECT_EQ(std::future_status::timeout, lookup.wait_for(200ms));
    held.unlock();
    ASSERT_EQ(std::future_status::ready, lookup.wait_for(30s));
    EXPECT_EQ(1, lookup.get());
    EXPECT_TRUE(out->equals(parsed("127.0.0.1")));
}

constexpr int32_t kPingFlag = 0x0100;   // a bit free for task use

struct LookupState {
    std::atomic<bool> started{false};
    std::atomic<bool> finished{false};
    std::atomic<int> result{-1};
    std::atomic<int> pings{0};
    IpAddress address;   // written by the task before finished is set
};

class LookupTask : public Task {
public:
    explicit LookupTask(std::shared_ptr<LookupState> state) : Task("LookupTask"), state_(std::move(state)) {}
    void run() override
    {
        state_->started = true;
        state_->result = resolveHostName(state_->address, "localhost");
        state_->finished = true;
    }
    int onMessage(const TaskMessage& msg) override
    {
        if (msg.flags & kPingFlag)
            ++state_->pings;
        return msg.flags & ~kPingFlag;
    }

private:
    std::shared_ptr<LookupState> state_;
};

template <class Pred>
bool waitFor(Pred pred, std::chrono::milliseconds limit = 30s)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

TEST_F(Resolver, TaskWaitingForTheLockServesItsMessages)
{
    dnsSetting = true;
    auto state = std::make_shared<LookupState>();
    std::unique_lock<std::mutex> held(resolverMutex);

    auto* task = new LookupTask(state);
    if (task->start(20480) < 0) {
        delete task;
        FAIL() << "task did not start";
    }
    ASSERT_TRUE(waitFor([&] { return state->started.load(); }));
    std::this_thread::sleep_for(50ms);

    // Posted by id: the task may end and delete itself once the lock is free.
    const int32_t id = task->id;
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(0, postToTaskId(id, TaskMessage{0, kPingFlag, 0, 0}));
    const bool served = waitFor([&] { return state->pings.load() == 3; });
    const bool stillWaiting = !state->finished.load();
    held.unlock();

    EXPECT_TRUE(served);
    EXPECT_TRUE(stillWaiting);
    ASSERT_TRUE(waitFor([&] { return state->finished.load(); }));
    EXPECT_EQ(1, state->result.load());
    EXPECT_TRUE(state->address.equals(parsed("127.0.0.1")));
}

}  // namespace
