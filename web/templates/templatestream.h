// The bytes of one template, read one at a time with look-ahead and seek.
#ifndef WEB_TEMPLATES_TEMPLATESTREAM_H
#define WEB_TEMPLATES_TEMPLATESTREAM_H

#include <cstddef>
#include <string>

class TemplateStream {
public:
    TemplateStream() = default;
    explicit TemplateStream(std::string bytes) : bytes_(std::move(bytes)) {}

    // Reads a whole template file (a mapped path); false when it cannot be
    // read or is larger than kMaxBytes.
    bool openFile(const std::string& path);
    // Reads a descriptor (a pipe) to its end, without closing it; false on a
    // read error or more than kMaxBytes.
    bool readDescriptor(int fd);

    // The next byte (0..255), or -1 at the end.
    int get() { return pos_ < bytes_.size() ? static_cast<unsigned char>(bytes_[pos_++]) : -1; }
    size_t tell() const { return pos_; }
    void seek(size_t pos) { pos_ = pos < bytes_.size() ? pos : bytes_.size(); }
    bool atEnd() const { return pos_ >= bytes_.size(); }
    void close() { bytes_.clear(); pos_ = 0; }
    // The bytes from the position on, for copying runs at once.
    const char* rest() const { return bytes_.data() + pos_; }
    size_t restSize() const { return bytes_.size() - pos_; }
    void advance(size_t count) { seek(pos_ + count); }

    static constexpr size_t kMaxBytes = 4u << 20;

private:
    friend int templatePeekMatches(const TemplateStream& stream, const char* text);
    std::string bytes_;
    size_t pos_ = 0;
};

// 1 when the next bytes of the stream equal text (at most 64 bytes are
// compared), else 0; the position does not move.
int templatePeekMatches(const TemplateStream& stream, const char* text);

#endif
