// The proxy's metrics and their Prometheus text exposition (format 0.0.4).
//
// Counters, gauges and histograms with fixed buckets hold plain atomics:
// updating one takes no lock and allocates nothing, so the connection
// threads count on their data path. A registry lists what is exposed under
// which name, help text and labels; it is filled once at start-up, before
// any scrape, and rendering then only reads the atomics. A metric may also
// be a value the program keeps anyway (an existing atomic counter, or a
// function read at each scrape, such as scanner endpoints up).
#ifndef DIVIVEZ_HOST_METRICS_METRICS_H_
#define DIVIVEZ_HOST_METRICS_METRICS_H_

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class Counter {
 public:
  void Add(uint64_t n = 1) { m_value.fetch_add(n, std::memory_order_relaxed); }
  uint64_t Value() const { return m_value.load(std::memory_order_relaxed); }

 private:
  std::atomic<uint64_t> m_value{0};
};

class Gauge {
 public:
  void Set(int64_t value) { m_value.store(value, std::memory_order_relaxed); }
  void Add(int64_t n) { m_value.fetch_add(n, std::memory_order_relaxed); }
  int64_t Value() const { return m_value.load(std::memory_order_relaxed); }

 private:
  std::atomic<int64_t> m_value{0};
};

// Observations are whole numbers of a unit (microseconds, bytes); the
// exposition divides them by perUnit (1e6 turns microseconds into seconds,
// Prometheus's base unit). Bucket bounds are given in the exposed unit, ascending; the
// +Inf bucket is implied.
class Histogram {
 public:
  static constexpr size_t kMaxBuckets = 24;

  Histogram(const std::vector<double>& bounds, double perUnit);
  void Observe(uint64_t value);

  size_t Bounds() const { return m_bounds; }
  double Bound(size_t i) const { return m_boundValues[i]; }
  // Observations in bucket i alone (i == Bounds(): above the last bound).
  uint64_t InBucket(size_t i) const { return m_counts[i].load(std::memory_order_relaxed); }
  double Sum() const {
    return static_cast<double>(m_sum.load(std::memory_order_relaxed)) / m_perUnit;
  }

 private:
  size_t m_bounds = 0;
  double m_perUnit;
  double m_boundValues[kMaxBuckets] = {};
  uint64_t m_limits[kMaxBuckets] = {};  // the same in observation units
  std::atomic<uint64_t> m_counts[kMaxBuckets + 1];
  std::atomic<uint64_t> m_sum{0};
};

// Latency buckets from a millisecond to two minutes, in seconds.
std::vector<double> LatencyBuckets();

class MetricsRegistry {
 public:
  using Labels = std::vector<std::pair<std::string, std::string>>;

  // Series of one name share its help text and type: the first registration
  // of a name fixes them. Names and label names must be valid (see Valid);
  // label values may be anything.
  Counter& AddCounter(const std::string& name, const std::string& help, const Labels& labels = {});
  Gauge& AddGauge(const std::string& name, const std::string& help, const Labels& labels = {});
  Histogram& AddHistogram(const std::string& name, const std::string& help,
                          const std::vector<double>& bounds, double perUnit,
                          const Labels& labels = {});
  // A counter the program keeps elsewhere; it must outlive the registry.
  void AddCounterOf(const std::string& name, const std::string& help, const Labels& labels,
                    const std::atomic<uint64_t>* value);
  // A histogram the program keeps elsewhere; it must outlive the registry.
  void AddHistogramOf(const std::string& name, const std::string& help, const Labels& labels,
                      const Histogram* histogram);
  // Values read at each scrape (from the scraping thread). No counter is
  // read this way: one derived from others can run backwards between their
  // increments.
  void AddGaugeFn(const std::string& name, const std::string& help, const Labels& labels,
                  std::function<double()> read);
  // Gauges whose label values come and go: read at each scrape, one series
  // per (value of label, gauge value) pair.
  using LabelledValues = std::vector<std::pair<std::string, double>>;
  void AddGaugesFn(const std::string& name, const std::string& help, const std::string& label,
                   std::function<LabelledValues()> read);

  // False when a name or label name given so far was not valid.
  bool Valid() const { return m_valid; }

  // The text exposition: per name a HELP and a TYPE line, then its series.
  std::string Render() const;

 private:
  enum class Type { kCounter, kGauge, kHistogram };
  struct Series {
    Labels labels;
    std::unique_ptr<Counter> counter;
    std::unique_ptr<Gauge> gauge;
    std::unique_ptr<Histogram> histogram;
    const Histogram* externalHistogram = nullptr;
    const std::atomic<uint64_t>* external = nullptr;
    std::function<double()> read;
    std::string readManyLabel;
    std::function<LabelledValues()> readMany;
  };
  struct Family {
    std::string name;
    std::string help;
    Type type;
    std::deque<Series> series;
  };

  Series& Add(const std::string& name, const std::string& help, Type type, const Labels& labels);

  std::deque<Family> m_families;
  bool m_valid = true;
};

// The exposition format's escapes: in label values \ " and newline, in help
// texts \ and newline.
std::string EscapeLabelValue(const std::string& value);
std::string EscapeHelp(const std::string& help);
// A sample value: integers without a fraction, +Inf, -Inf, NaN.
std::string SampleValue(double value);

#endif  // DIVIVEZ_HOST_METRICS_METRICS_H_
