// The bytes of a CPUID dump, from an open file or from memory, one at a time:
// both dump parsers read through it, so a dump in memory (the fuzz target's
// input) is parsed by the very code that parses a file.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdio>

class DumpSource {
public:
    explicit DumpSource(FILE* file) : file_(file) {}
    DumpSource(const char* bytes, size_t size) : bytes_(bytes), left_(size) {}

    // The next byte as an unsigned char, or EOF at the end or after a read
    // error (error() then gives its errno).
    int Get() {
        if (file_ == nullptr) {
            if (left_ == 0) return EOF;
            --left_;
            return static_cast<unsigned char>(*bytes_++);
        }
        const int c = std::getc(file_);
        if (c == EOF && std::ferror(file_)) error_ = errno != 0 ? errno : EIO;
        return c;
    }

    int error() const { return error_; }

private:
    FILE* file_ = nullptr;
    const char* bytes_ = nullptr;
    size_t left_ = 0;
    int error_ = 0;
};
