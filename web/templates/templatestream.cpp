#include "web/templates/templatestream.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

bool TemplateStream::readDescriptor(int fd) {
    bytes_.clear();
    pos_ = 0;
    char chunk[4096];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n == 0)
            return true;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (bytes_.size() + static_cast<size_t>(n) > kMaxBytes)
            return false;
        bytes_.append(chunk, static_cast<size_t>(n));
    }
}

bool TemplateStream::openFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = readDescriptor(fd);
    ::close(fd);
    return ok;
}

int templatePeekMatches(const TemplateStream& stream, const char* text) {
    size_t pos = stream.pos_;
    for (int i = 0; i < 64 && text[i] != '\0'; i++, pos++) {
        if (pos >= stream.bytes_.size() || stream.bytes_[pos] != text[i])
            return 0;
    }
    return 1;
}
