#include "Exposition.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace Exposition
{

Histogram::Histogram(std::vector<double> bounds)
    : m_Bounds(std::move(bounds))
    , m_Counts(m_Bounds.size() + 1, 0)
{
}

void Histogram::Observe(double value)
{
    const size_t bucket = std::lower_bound(m_Bounds.begin(), m_Bounds.end(), value) - m_Bounds.begin();
    ++m_Counts[bucket];
    m_Sum += value;
    ++m_Count;
}

std::vector<double> SecondsBounds()
{
    return {0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60};
}

namespace
{

// Numbers as Go's strconv.FormatFloat(v, 'g', -1) writes them for Prometheus: the
// shortest digits that read back the same, in exponent form below 1e-4 and from 1e6
// up. Histogram bounds are matched by their text in queries, so they must agree.
std::string Number(double value)
{
    if (std::isnan(value))
        return "NaN";
    if (std::isinf(value))
        return value > 0 ? "+Inf" : "-Inf";
    char text[32];
    // The fewest significant digits that read back the same; seventeen always do.
    int digits = 0;
    do
        snprintf(text, sizeof text, "%.*e", digits++, value);
    while (digits < 17 && strtod(text, nullptr) != value);
    const int exponent = atoi(strchr(text, 'e') + 1);
    if (exponent < -4 || exponent >= 6)
        return text;
    snprintf(text, sizeof text, "%.*g", std::max(digits, 6), value);
    return text;
}

} // namespace

void Writer::Family(const char* name, const char* type, const char* help)
{
    m_Text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void Writer::Sample(const char* name, const std::string& labels, double value)
{
    m_Text += name;
    if (!labels.empty())
        m_Text += "{" + labels + "}";
    m_Text += " " + Number(value) + "\n";
}

void Writer::Samples(const char* name, const std::string& labels, const Histogram& histogram)
{
    const std::string bucket = std::string(name) + "_bucket";
    const std::string prefix = labels.empty() ? "" : labels + ",";
    uint64_t cumulative = 0;
    for (size_t i = 0; i <= histogram.Bounds().size(); ++i)
    {
        cumulative += histogram.Counts()[i];
        const double bound = i < histogram.Bounds().size() ? histogram.Bounds()[i] : INFINITY;
        Sample(bucket.c_str(), prefix + "le=\"" + Number(bound) + "\"", static_cast<double>(cumulative));
    }
    Sample((std::string(name) + "_sum").c_str(), labels, histogram.Sum());
    Sample((std::string(name) + "_count").c_str(), labels, static_cast<double>(histogram.Count()));
}

std::string LabelValue(const std::string& value)
{
    std::string escaped;
    for (char c : value)
    {
        if (c == '\\' || c == '"')
            escaped += '\\';
        escaped += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return escaped;
}

} // namespace Exposition
