#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Prometheus' text exposition format, version 0.0.4, written by hand: the format is
// small and Debian has no C++ client for it. The service and the emulator share it.
namespace Exposition
{

const char* const kContentType = "text/plain; version=0.0.4; charset=utf-8";

// A histogram with fixed upper bounds: observing is two additions and a search,
// never an allocation.
class Histogram
{
public:
    explicit Histogram(std::vector<double> bounds);
    void Observe(double value);

    const std::vector<double>& Bounds() const { return m_Bounds; }
    const std::vector<uint64_t>& Counts() const { return m_Counts; } // per bucket, the last for +Inf
    double Sum() const { return m_Sum; }
    uint64_t Count() const { return m_Count; }

private:
    std::vector<double> m_Bounds;
    std::vector<uint64_t> m_Counts;
    double m_Sum = 0;
    uint64_t m_Count = 0;
};

// Bounds for durations from 10 ms to a minute.
std::vector<double> SecondsBounds();

// Writes one metric family after another into a text.
class Writer
{
public:
    // "# HELP" and "# TYPE" lines; `type` is counter, gauge or histogram.
    void Family(const char* name, const char* type, const char* help);
    // One sample; `labels` is "" or `a="x",b="y"` (values already fit for the format).
    void Sample(const char* name, const std::string& labels, double value);
    void Samples(const char* name, const std::string& labels, const Histogram& histogram);
    const std::string& Text() const { return m_Text; }

private:
    std::string m_Text;
};

// A label value as the format wants it: backslash, quote and newline escaped.
std::string LabelValue(const std::string& value);

} // namespace Exposition
