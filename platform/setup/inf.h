// Reading a Windows setup information file (INF): sections of lines, each line an optional key and a
// comma-separated list of fields, with %string% tokens resolved from [Strings].
#pragma once

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarvel::setup {

struct InfLine {
    int number = 0;                  // line number in the file, for messages
    std::optional<std::string> key;  // text before '=' when there is one
    std::vector<std::string> fields; // after '=' (or the whole line), split at commas, quotes removed
};

class Inf {
  public:
    // Throws InfError with the file's line number on malformed input.
    static Inf Parse(const std::string& text, const std::string& origin = "INF");
    static Inf Load(const std::string& path);

    bool HasSection(const std::string& name) const;
    // The lines of a section (names are case-insensitive, as on Windows); throws if it is missing.
    const std::vector<InfLine>& Section(const std::string& name) const;
    // The first field of the first line with this key in the section, if any.
    std::optional<std::string> Value(const std::string& section, const std::string& key) const;
    const std::string& Origin() const { return origin_; }

  private:
    std::string origin_;
    std::map<std::string, std::vector<InfLine>> sections_; // keyed by lower-case name
};

struct InfError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string Lower(std::string s);

} // namespace tarvel::setup
