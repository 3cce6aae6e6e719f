#include "figures.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>

namespace tarvelbench {

namespace {

std::string Escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
        out += c;
    }
    return out;
}

// The string value of "key": "..." in a line written by EncodeFigure.
bool StringField(const std::string& line, const std::string& key, std::string* value) {
    const std::string marker = "\"" + key + "\": \"";
    auto at = line.find(marker);
    if (at == std::string::npos) return false;
    at += marker.size();
    value->clear();
    for (; at < line.size() && line[at] != '"'; ++at) {
        if (line[at] == '\\' && at + 1 < line.size()) ++at;
        *value += line[at];
    }
    return at < line.size();
}

bool NumberField(const std::string& line, const std::string& key, double* value) {
    const std::string marker = "\"" + key + "\": ";
    const auto at = line.find(marker);
    if (at == std::string::npos) return false;
    std::istringstream in(line.substr(at + marker.size()));
    return static_cast<bool>(in >> *value);
}

std::string Number(double value) {
    char text[64];
    if (value != 0 && (std::fabs(value) >= 1e6 || std::fabs(value) < 0.01)) std::snprintf(text, sizeof text, "%.4g", value);
    else std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

} // namespace

std::string EncodeFigure(const Figure& f) {
    char value[64];
    std::snprintf(value, sizeof value, "%.9g", f.value);
    return "{\"name\": \"" + Escape(f.name) + "\", \"value\": " + value + ", \"unit\": \"" + Escape(f.unit) +
           "\", \"settings\": \"" + Escape(f.settings) + "\", \"limit\": \"" + Escape(f.limit) + "\"}";
}

bool DecodeFigure(const std::string& line, Figure* f) {
    return StringField(line, "name", &f->name) && NumberField(line, "value", &f->value) &&
           StringField(line, "unit", &f->unit) && StringField(line, "settings", &f->settings) &&
           StringField(line, "limit", &f->limit);
}

void Figures::PrintTable(std::FILE* out) const {
    std::fprintf(out, "%-52s %14s %-9s %s\n", "figure", "value", "unit", "settings / limiting factor");
    // Sections in the order they first appear, each figure under its own.
    std::vector<std::string> sections;
    for (const Figure& f : figures_) {
        const std::string head = f.name.substr(0, f.name.find('.'));
        if (std::find(sections.begin(), sections.end(), head) == sections.end()) sections.push_back(head);
    }
    for (const std::string& section : sections) {
        std::fprintf(out, "\n[%s]\n", section.c_str());
        for (const Figure& f : figures_) {
            if (f.name.substr(0, f.name.find('.')) != section) continue;
        std::fprintf(out, "%-52s %14s %-9s %s%s%s\n", f.name.c_str(), Number(f.value).c_str(), f.unit.c_str(),
                         f.settings.c_str(), f.limit.empty() ? "" : " | ", f.limit.c_str());
        }
    }
}

bool Figures::WriteJson(const std::string& path, const std::map<std::string, std::string>& run) const {
    std::ofstream out(path);
    if (!out) return false;
    out << "{\n";
    for (const auto& [key, value] : run) out << "  \"" << Escape(key) << "\": \"" << Escape(value) << "\",\n";
    out << "  \"figures\": [\n";
    for (std::size_t i = 0; i < figures_.size(); ++i)
        out << "    " << EncodeFigure(figures_[i]) << (i + 1 < figures_.size() ? ",\n" : "\n");
    out << "  ]\n}\n";
    return static_cast<bool>(out);
}

void Figures::PrintComparison(std::FILE* out, const std::map<std::string, double>& baseline) const {
    std::fprintf(out, "\nAgainst the baseline (ratio = this run / baseline):\n");
    std::fprintf(out, "%-52s %14s %14s %8s\n", "figure", "this run", "baseline", "ratio");
    for (const Figure& f : figures_) {
        const auto it = baseline.find(f.name);
        if (it == baseline.end()) {
            std::fprintf(out, "%-52s %14s %14s %8s\n", f.name.c_str(), Number(f.value).c_str(), "-", "new");
            continue;
        }
        const std::string ratio = it->second != 0 ? Number(f.value / it->second)
                                  : f.value == 0  ? std::string("1.00")
                                                  : std::string("inf");
        std::fprintf(out, "%-52s %14s %14s %8s\n", f.name.c_str(), Number(f.value).c_str(),
                     Number(it->second).c_str(), ratio.c_str());
    }
}

std::map<std::string, double> ReadBaseline(const std::string& path) {
    std::map<std::string, double> values;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        Figure f;
        if (DecodeFigure(line, &f)) values[f.name] = f.value;
    }
    return values;
}

} // namespace tarvelbench
