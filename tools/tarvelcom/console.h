// Where the report goes (standard output, or standard error while standard output carries the line's
// bytes), with the little formatting the report needs.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

namespace tarvelcom {

class Console {
public:
    explicit Console(std::FILE* out);
    std::FILE* File() const { return out_; }
    bool Terminal() const { return terminal_; }

    void Section(const std::string& title);
    // printf-style; a newline is added.
    void Line(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // "  Name ........ value" rows line up at one column.
    void Row(const std::string& name, const std::string& value);
    // A bar that fills as bytes come back: redrawn in place on a terminal, in steps of a quarter otherwise.
    void Progress(std::size_t done, std::size_t total);

private:
    std::FILE* out_;
    bool terminal_;
    int lastStep_ = -1;
};

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Plural(std::uint64_t n, const char* one, const char* many);

} // namespace tarvelcom
