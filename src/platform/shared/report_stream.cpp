#include "platform/shared/report_stream.h"

#include <cerrno>
#include <cstdio>

namespace platform {

namespace {

int firstError = 0;

void Note(int error) {
    if (firstError == 0) firstError = error != 0 ? error : EIO;
}

}  // namespace

void WriteReportStream(const char* bytes, size_t count) {
    if (std::fwrite(bytes, 1, count, stdout) != count) Note(errno);
}

void FlushReportStream() {
    if (std::fflush(stdout) != 0) Note(errno);
}

int FinishReportStream() {
    FlushReportStream();
    if (std::ferror(stdout)) Note(EIO);
    return firstError;
}

}  // namespace platform
