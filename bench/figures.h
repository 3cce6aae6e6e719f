// The figures a run produces: a readable table, a JSON record (with the settings of each figure and the
// commit it ran on) and the ratio of each figure to a baseline record.
#pragma once

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace tarvelbench {

struct Figure {
    std::string name;      // unique key, e.g. "throughput.full.rx.defaults.bytes_per_s"
    double value = 0;
    std::string unit;      // "B/s", "%", "bytes", "us", "calls/s", "MB/cpu-s"
    std::string settings;  // what differs from the INF's defaults, and the run's conditions
    std::string limit;     // what limits it (throughput figures), or a note
};

class Figures {
public:
    void Add(Figure figure) { figures_.push_back(std::move(figure)); }
    void Append(const std::vector<Figure>& more) { figures_.insert(figures_.end(), more.begin(), more.end()); }
    const std::vector<Figure>& All() const { return figures_; }

    void PrintTable(std::FILE* out) const;
    // One figure per line, so that a baseline reads back without a general JSON parser.
    bool WriteJson(const std::string& path, const std::map<std::string, std::string>& run) const;
    void PrintComparison(std::FILE* out, const std::map<std::string, double>& baseline) const;

private:
    std::vector<Figure> figures_;
};

// Encodes a figure as one line and reads it back (used to pass figures from a scenario's process).
std::string EncodeFigure(const Figure& figure);
bool DecodeFigure(const std::string& line, Figure* figure);
// name -> value of a JSON record written by WriteJson; empty if the file cannot be read.
std::map<std::string, double> ReadBaseline(const std::string& path);

} // namespace tarvelbench
