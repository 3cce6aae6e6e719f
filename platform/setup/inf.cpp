#include "inf.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace tarvel::setup {

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

namespace {

std::string Trim(const std::string& s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    const auto last = s.find_last_not_of(" \t\r");
    return s.substr(first, last - first + 1);
}

[[noreturn]] void Fail(const std::string& origin, int line, const std::string& what) {
    throw InfError(origin + ":" + std::to_string(line) + ": " + what);
}

// Splits a line into its fields at unquoted commas, dropping a trailing comment. A doubled quote inside
// a quoted field stands for one quote.
std::vector<std::string> SplitFields(const std::string& text, const std::string& origin, int line) {
    std::vector<std::string> fields;
    std::string current;
    bool quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                current += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                current += c;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ';') {
            break;
        } else if (c == ',') {
            fields.push_back(Trim(current));
            current.clear();
        } else {
            current += c;
        }
    }
    if (quoted) Fail(origin, line, "unterminated quoted string");
    fields.push_back(Trim(current));
    return fields;
}

// Finds the '=' that separates a key from its fields, ignoring any inside quotes or after a comment.
std::optional<size_t> KeySeparator(const std::string& text) {
    bool quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '"') quoted = !quoted;
        else if (!quoted && text[i] == ';') return std::nullopt;
        else if (!quoted && text[i] == '=') return i;
    }
    return std::nullopt;
}

} // namespace

Inf Inf::Parse(const std::string& text, const std::string& origin) {
    Inf inf;
    inf.origin_ = origin;
    std::istringstream in(text);
    std::string raw;
    std::string pending; // a line continued with a trailing backslash
    int number = 0;
    int startNumber = 0;
    std::vector<InfLine>* section = nullptr;
    while (std::getline(in, raw)) {
        ++number;
        if (pending.empty()) startNumber = number;
        std::string line = Trim(raw);
        if (!line.empty() && line.back() == '\\') {
            pending += line.substr(0, line.size() - 1);
            continue;
        }
        line = pending + line;
        pending.clear();
        if (line.empty() || line[0] == ';') continue;
        if (line[0] == '[') {
            const auto close = line.find(']');
            if (close == std::string::npos) Fail(origin, startNumber, "section header without ']'");
            const std::string name = Trim(line.substr(1, close - 1));
            if (name.empty()) Fail(origin, startNumber, "empty section name");
            section = &inf.sections_[Lower(name)];
            continue;
        }
        if (!section) Fail(origin, startNumber, "line outside any section");
        InfLine parsed;
        parsed.number = startNumber;
        if (const auto eq = KeySeparator(line)) {
            parsed.key = Trim(line.substr(0, *eq));
            parsed.fields = SplitFields(line.substr(*eq + 1), origin, startNumber);
        } else {
            parsed.fields = SplitFields(line, origin, startNumber);
        }
        section->push_back(std::move(parsed));
    }
    if (!pending.empty()) Fail(origin, startNumber, "continuation at end of file");

    // Resolve %token% from [Strings] in every key and field ("%%" stands for one percent sign).
    std::map<std::string, std::string> strings;
    if (inf.HasSection("Strings")) {
        for (const auto& l : inf.Section("Strings")) {
            if (l.key && !l.fields.empty()) strings[Lower(*l.key)] = l.fields[0];
        }
    }
    auto resolve = [&](std::string& s, int line) {
        std::string out;
        for (size_t i = 0; i < s.size(); ++i) {
            if (s[i] != '%') {
                out += s[i];
                continue;
            }
            const auto end = s.find('%', i + 1);
            if (end == std::string::npos) Fail(origin, line, "unterminated %token% in '" + s + "'");
            const std::string token = s.substr(i + 1, end - i - 1);
            if (token.empty()) {
                out += '%';
            } else if (std::all_of(token.begin(), token.end(), ::isdigit)) {
                out += '%' + token + '%'; // a directory id such as %12% is kept for the installer
            } else {
                const auto found = strings.find(Lower(token));
                if (found == strings.end()) Fail(origin, line, "undefined string %" + token + "%");
                out += found->second;
            }
            i = end;
        }
        s = out;
    };
    for (auto& [name, lines] : inf.sections_) {
        if (name == "strings") continue;
        for (auto& l : lines) {
            if (l.key) resolve(*l.key, l.number);
            for (auto& f : l.fields) resolve(f, l.number);
        }
    }
    return inf;
}

Inf Inf::Load(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) throw InfError("cannot open " + path);
    std::stringstream text;
    text << file.rdbuf();
    return Parse(text.str(), path);
}

bool Inf::HasSection(const std::string& name) const { return sections_.count(Lower(name)) != 0; }

const std::vector<InfLine>& Inf::Section(const std::string& name) const {
    const auto found = sections_.find(Lower(name));
    if (found == sections_.end()) throw InfError(origin_ + ": no section [" + name + "]");
    return found->second;
}

std::optional<std::string> Inf::Value(const std::string& section, const std::string& key) const {
    if (!HasSection(section)) return std::nullopt;
    for (const auto& l : Section(section)) {
        if (l.key && Lower(*l.key) == Lower(key) && !l.fields.empty()) return l.fields[0];
    }
    return std::nullopt;
}

} // namespace tarvel::setup
