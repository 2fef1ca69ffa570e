// The proxy's metrics. See metrics.h.
#include "host/metrics/metrics.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

bool ValidName(const std::string& name, bool colons) {
  if (name.empty()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    const bool digit = c >= '0' && c <= '9';
    if (!(letter || (colons && c == ':') || (i > 0 && digit))) return false;
  }
  return true;
}

// Label names starting with "__" are reserved for Prometheus's own use.
bool ValidLabelName(const std::string& name) {
  return ValidName(name, false) && name.compare(0, 2, "__") != 0;
}

void AppendLabels(std::string* out, const MetricsRegistry::Labels& labels, const char* extraName,
                  const std::string& extraValue) {
  if (labels.empty() && extraName == nullptr) return;
  *out += '{';
  bool first = true;
  for (const auto& label : labels) {
    if (!first) *out += ',';
    first = false;
    *out += label.first + "=\"" + EscapeLabelValue(label.second) + '"';
  }
  if (extraName != nullptr) {
    if (!first) *out += ',';
    *out += std::string(extraName) + "=\"" + EscapeLabelValue(extraValue) + '"';
  }
  *out += '}';
}

void AppendSample(std::string* out, const std::string& name, const MetricsRegistry::Labels& labels,
                  double value, const char* extraName = nullptr,
                  const std::string& extraValue = std::string()) {
  *out += name;
  AppendLabels(out, labels, extraName, extraValue);
  *out += ' ';
  *out += SampleValue(value);
  *out += '\n';
}

}  // namespace

Histogram::Histogram(const std::vector<double>& bounds, double perUnit) : m_perUnit(perUnit) {
  for (double bound : bounds) {
    if (m_bounds == kMaxBuckets) break;
    // Bounds are kept in observation units, so that Observe compares
    // integers; a bound between two units rounds up to the next.
    m_boundValues[m_bounds] = bound;
    const double limit = bound * perUnit;
    const double whole = std::round(limit);
    m_limits[m_bounds++] =
        static_cast<uint64_t>(std::fabs(limit - whole) < 1e-6 ? whole : std::ceil(limit));
  }
  for (auto& count : m_counts) count.store(0, std::memory_order_relaxed);
}

void Histogram::Observe(uint64_t value) {
  size_t i = 0;
  while (i < m_bounds && value > m_limits[i]) ++i;
  m_counts[i].fetch_add(1, std::memory_order_relaxed);
  m_sum.fetch_add(value, std::memory_order_relaxed);
}

std::vector<double> LatencyBuckets() {
  return {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60, 120};
}

MetricsRegistry::Series& MetricsRegistry::Add(const std::string& name, const std::string& help,
                                              Type type, const Labels& labels) {
  if (!ValidName(name, true)) m_valid = false;
  for (const auto& label : labels) {
    // "le" belongs to histogram buckets.
    if (!ValidLabelName(label.first) || (type == Type::kHistogram && label.first == "le")) {
      m_valid = false;
    }
  }
  Family* family = nullptr;
  for (auto& f : m_families) {
    if (f.name == name) family = &f;
  }
  if (family == nullptr) {
    m_families.push_back(Family{name, help, type, {}});
    family = &m_families.back();
  } else if (family->type != type) {
    m_valid = false;
  }
  family->series.emplace_back();
  Series& series = family->series.back();
  series.labels = labels;
  return series;
}

Counter& MetricsRegistry::AddCounter(const std::string& name, const std::string& help,
                                     const Labels& labels) {
  Series& series = Add(name, help, Type::kCounter, labels);
  series.counter = std::make_unique<Counter>();
  return *series.counter;
}

Gauge& MetricsRegistry::AddGauge(const std::string& name, const std::string& help,
                                 const Labels& labels) {
  Series& series = Add(name, help, Type::kGauge, labels);
  series.gauge = std::make_unique<Gauge>();
  return *series.gauge;
}

Histogram& MetricsRegistry::AddHistogram(const std::string& name, const std::string& help,
                                         const std::vector<double>& bounds, double perUnit,
                                         const Labels& labels) {
  Series& series = Add(name, help, Type::kHistogram, labels);
  series.histogram = std::make_unique<Histogram>(bounds, perUnit);
  return *series.histogram;
}

void MetricsRegistry::AddCounterOf(const std::string& name, const std::string& help,
                                   const Labels& labels, const std::atomic<uint64_t>* value) {
  Add(name, help, Type::kCounter, labels).external = value;
}

void MetricsRegistry::AddHistogramOf(const std::string& name, const std::string& help,
                                     const Labels& labels, const Histogram* histogram) {
  Add(name, help, Type::kHistogram, labels).externalHistogram = histogram;
}

void MetricsRegistry::AddGaugeFn(const std::string& name, const std::string& help,
                                 const Labels& labels, std::function<double()> read) {
  Add(name, help, Type::kGauge, labels).read = std::move(read);
}

void MetricsRegistry::AddGaugesFn(const std::string& name, const std::string& help,
                                  const std::string& label, std::function<LabelledValues()> read) {
  if (!ValidLabelName(label)) m_valid = false;
  Series& series = Add(name, help, Type::kGauge, {});
  series.readManyLabel = label;
  series.readMany = std::move(read);
}

std::string MetricsRegistry::Render() const {
  std::string out;
  for (const Family& family : m_families) {
    out += "# HELP " + family.name + ' ' + EscapeHelp(family.help) + '\n';
    static const char* const kTypes[] = {"counter", "gauge", "histogram"};
    out += "# TYPE " + family.name + ' ' + kTypes[static_cast<int>(family.type)] + '\n';
    for (const Series& s : family.series) {
      if (s.histogram || s.externalHistogram != nullptr) {
        // Buckets are cumulative; the count is the +Inf bucket, so the two
        // agree even while observations arrive during the scrape.
        const Histogram& h = s.histogram ? *s.histogram : *s.externalHistogram;
        uint64_t cumulative = 0;
        for (size_t i = 0; i <= h.Bounds(); ++i) {
          cumulative += h.InBucket(i);
          const std::string le = i < h.Bounds() ? SampleValue(h.Bound(i)) : "+Inf";
          AppendSample(&out, family.name + "_bucket", s.labels, static_cast<double>(cumulative),
                       "le", le);
        }
        AppendSample(&out, family.name + "_sum", s.labels, h.Sum());
        AppendSample(&out, family.name + "_count", s.labels, static_cast<double>(cumulative));
        continue;
      }
      if (s.readMany) {
        for (const auto& entry : s.readMany()) {
          AppendSample(&out, family.name, s.labels, entry.second, s.readManyLabel.c_str(),
                       entry.first);
        }
        continue;
      }
      double value = 0;
      if (s.counter) value = static_cast<double>(s.counter->Value());
      if (s.gauge) value = static_cast<double>(s.gauge->Value());
      if (s.external != nullptr) value = static_cast<double>(s.external->load());
      if (s.read) value = s.read();
      AppendSample(&out, family.name, s.labels, value);
    }
  }
  return out;
}

namespace {

// Backslash and newline always; the double quote inside label values only.
std::string Escape(const std::string& text, bool quote) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || (quote && c == '"')) {
      out += '\\';
      out += c;
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::string EscapeLabelValue(const std::string& value) { return Escape(value, true); }

std::string EscapeHelp(const std::string& help) { return Escape(help, false); }

std::string SampleValue(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  char text[40];
  // Whole numbers up to 2^53 exactly; others with enough digits to read back.
  if (std::fabs(value) < 9007199254740992.0 && value == std::floor(value)) {
    std::snprintf(text, sizeof text, "%.0f", value);
  } else {
    // The shortest of 15 or 17 significant digits that reads back exactly.
    std::snprintf(text, sizeof text, "%.15g", value);
    if (std::strtod(text, nullptr) != value) std::snprintf(text, sizeof text, "%.17g", value);
  }
  return text;
}
