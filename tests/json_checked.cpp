#include "json_checked.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <set>

namespace {

std::string ReadAll(FILE* file) {
    std::string text;
    char chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, got);
    return text;
}

// The `path=value` lines of the validator into the map.
void ReadValues(const std::string& lines, std::map<std::string, std::string>* values) {
    values->clear();
    size_t start = 0;
    while (start < lines.size()) {
        size_t end = lines.find('\n', start);
        if (end == std::string::npos) end = lines.size();
        const std::string line = lines.substr(start, end - start);
        const size_t equals = line.find('=');
        if (equals != std::string::npos) (*values)[line.substr(0, equals)] = line.substr(equals + 1);
        start = end + 1;
    }
}

}  // namespace

std::string CheckedDocument::operator[](const std::string& path) const {
    const auto found = values.find(path);
    return found == values.end() ? "absent" : found->second;
}

size_t CheckedDocument::Count(const std::string& arrayPath) const {
    std::set<std::string> elements;
    const std::string prefix = arrayPath + ".";
    for (const auto& entry : values) {
        if (entry.first.compare(0, prefix.size(), prefix) != 0) continue;
        elements.insert(entry.first.substr(prefix.size(), entry.first.find('.', prefix.size()) - prefix.size()));
    }
    return elements.size();
}

::testing::AssertionResult ValidDocument(const std::string& text, CheckedDocument* out) {
    char path[] = "/tmp/vexmora-json-test-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return ::testing::AssertionFailure() << "no temporary file";
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    // The validator's reasons go to a file of their own, so that a warning
    // from Python never mixes with the values.
    const std::string reasons = std::string(path) + ".why";
    const std::string command = std::string("'") + VEXMORA_PYTHON + "' '" + VEXMORA_JSON_CHECK + "' '" + VEXMORA_SCHEMA + "' '" +
                                path + "' 2>'" + reasons + "'";
    std::string values;
    int status = -1;
    if (written) {
        if (FILE* pipe = popen(command.c_str(), "r")) {
            values = ReadAll(pipe);
            status = pclose(pipe);
        }
    }
    std::string why = written ? "" : "cannot write the document to a file";
    if (FILE* file = std::fopen(reasons.c_str(), "r")) {
        why += ReadAll(file);
        std::fclose(file);
    }
    unlink(path);
    unlink(reasons.c_str());
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        return ::testing::AssertionFailure() << "the document is not valid: " << why << "\n--- document:\n" << text;
    }
    ReadValues(values, &out->values);
    return ::testing::AssertionSuccess();
}
