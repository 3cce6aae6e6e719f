#include "console.h"

#include <unistd.h>

#include <cstdint>

namespace tarvelcom {

namespace {

std::string VFormat(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(text.data(), text.size() + 1, format, args);
    return text;
}

} // namespace

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = VFormat(format, args);
    va_end(args);
    return text;
}

std::string Plural(std::uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

Console::Console(std::FILE* out) : out_(out), terminal_(::isatty(::fileno(out)) != 0) {}

void Console::Section(const std::string& title) {
    std::fprintf(out_, "\n%s\n", title.c_str());
    std::fflush(out_);
}

void Console::Line(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = VFormat(format, args);
    va_end(args);
    std::fprintf(out_, "%s\n", text.c_str());
    std::fflush(out_);
}

void Console::Row(const std::string& name, const std::string& value) {
    std::string dots = "  " + name + " ";
    while (dots.size() < 30) dots += '.';
    std::fprintf(out_, "%s %s\n", dots.c_str(), value.c_str());
    std::fflush(out_);
}

void Console::Progress(std::size_t done, std::size_t total) {
    constexpr int kWidth = 40;
    const int filled = total ? static_cast<int>(done * kWidth / total) : kWidth;
    const int percent = total ? static_cast<int>(done * 100 / total) : 100;
    const int step = terminal_ ? filled : percent / 25;
    if (step == lastStep_ && done != total) return;
    lastStep_ = step;
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(kWidth, '.');
    std::fprintf(out_, "%s  [%s] %3d%%  %zu/%zu bytes%s", terminal_ ? "\r" : "", bar.c_str(), percent, done, total,
                 terminal_ && done != total ? "" : "\n");
    std::fflush(out_);
}

} // namespace tarvelcom
