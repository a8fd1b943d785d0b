#include "platform/shared/report_stream.h"

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/seam.h"

namespace platform {

namespace {

int firstError = 0;
std::vector<std::string> keptNotes;

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

void KeepNote(const char* text) {
    std::string line;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p != '\n') {
            line += *p;
        } else {
            keptNotes.push_back(line);
            line.clear();
        }
    }
    if (!line.empty()) keptNotes.push_back(line);
}

std::vector<std::string> NotesWritten() {
    return keptNotes;
}

}  // namespace platform
