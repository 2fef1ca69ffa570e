// The metrics registry and its text exposition: the documented layout
// (HELP, TYPE, cumulative buckets with le, _sum, _count), escapes, bucket
// edges and updates from several threads.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "host/metrics/metrics.h"

namespace {

TEST(Metrics, ExpositionOfEachType) {
  MetricsRegistry registry;
  Counter& delivered =
      registry.AddCounter("m_messages_total", "Messages by outcome.", {{"outcome", "delivered"}});
  registry.AddCounter("m_messages_total", "ignored", {{"outcome", "refused"}}).Add(2);
  std::atomic<uint64_t> kept{7};
  registry.AddCounterOf("m_kept_total", "Kept elsewhere.", {}, &kept);
  registry.AddGauge("m_open", "Open now.").Set(-3);
  registry.AddGaugeFn("m_up", "Read at scrape.", {{"kind", "clamd"}}, [] { return 1.5; });
  Histogram& latency = registry.AddHistogram("m_seconds", "Latency.", {0.001, 0.5}, 1e6);
  delivered.Add();
  latency.Observe(1000);     // 0.001 s: on the first bound, which is inclusive
  latency.Observe(1001);     // just above it
  latency.Observe(3000000);  // above every bound
  ASSERT_TRUE(registry.Valid());
  EXPECT_EQ(registry.Render(),
            "# HELP m_messages_total Messages by outcome.\n"
            "# TYPE m_messages_total counter\n"
            "m_messages_total{outcome=\"delivered\"} 1\n"
            "m_messages_total{outcome=\"refused\"} 2\n"
            "# HELP m_kept_total Kept elsewhere.\n"
            "# TYPE m_kept_total counter\n"
            "m_kept_total 7\n"
            "# HELP m_open Open now.\n"
            "# TYPE m_open gauge\n"
            "m_open -3\n"
            "# HELP m_up Read at scrape.\n"
            "# TYPE m_up gauge\n"
            "m_up{kind=\"clamd\"} 1.5\n"
            "# HELP m_seconds Latency.\n"
            "# TYPE m_seconds histogram\n"
            "m_seconds_bucket{le=\"0.001\"} 1\n"
            "m_seconds_bucket{le=\"0.5\"} 2\n"
            "m_seconds_bucket{le=\"+Inf\"} 3\n"
            "m_seconds_sum 3.002001\n"
            "m_seconds_count 3\n");
  kept = 9;  // read at each rendering
  EXPECT_NE(registry.Render().find("m_kept_total 9\n"), std::string::npos);
}

// Series that come and go between scrapes (connections by destination):
// none is an empty family, each value escaped like any label value.
TEST(Metrics, GaugesReadAsASetAtEachScrape) {
  MetricsRegistry registry;
  MetricsRegistry::LabelledValues now;
  registry.AddGaugesFn("m_open_to", "By destination.", "destination", [&now] { return now; });
  ASSERT_TRUE(registry.Valid());
  EXPECT_EQ(registry.Render(), "# HELP m_open_to By destination.\n# TYPE m_open_to gauge\n");
  now = {{"192.0.2.25:25", 2}, {"[2001:db8::25]:25", 1}, {"a\"b", 3}};
  EXPECT_EQ(registry.Render(),
            "# HELP m_open_to By destination.\n# TYPE m_open_to gauge\n"
            "m_open_to{destination=\"192.0.2.25:25\"} 2\n"
            "m_open_to{destination=\"[2001:db8::25]:25\"} 1\n"
            "m_open_to{destination=\"a\\\"b\"} 3\n");
  MetricsRegistry bad;
  bad.AddGaugesFn("m_bad", "x", "not-a-label", [] { return MetricsRegistry::LabelledValues{}; });
  EXPECT_FALSE(bad.Valid());
}

TEST(Metrics, LabelsOfAHistogramComeBeforeLe) {
  MetricsRegistry registry;
  registry.AddHistogram("h", "H.", {1}, 1, {{"stage", "scan"}}).Observe(1);
  const std::string text = registry.Render();
  EXPECT_NE(text.find("h_bucket{stage=\"scan\",le=\"1\"} 1\n"), std::string::npos) << text;
  EXPECT_NE(text.find("h_sum{stage=\"scan\"} 1\n"), std::string::npos) << text;

  // Kept elsewhere and read at each rendering.
  Histogram kept({0.5}, 1000);
  int reads = 0;
  registry.AddHistogramOf("k", "K.", {}, &kept);
  registry.AddGaugeFn("f", "F.", {}, [&reads] { return ++reads; });
  kept.Observe(600);
  const std::string again = registry.Render();
  EXPECT_NE(again.find("k_bucket{le=\"0.5\"} 0\nk_bucket{le=\"+Inf\"} 1\nk_sum 0.6\n"),
            std::string::npos)
      << again;
  EXPECT_NE(again.find("# TYPE f gauge\nf 1\n"), std::string::npos) << again;
}

TEST(Metrics, EscapesAndValues) {
  EXPECT_EQ(EscapeLabelValue("a\\b\"c\nd"), "a\\\\b\\\"c\\nd");
  EXPECT_EQ(EscapeHelp("a\\b\"c\nd"), "a\\\\b\"c\\nd");
  EXPECT_EQ(SampleValue(0.0025), "0.0025");
  EXPECT_EQ(SampleValue(120), "120");
  EXPECT_EQ(SampleValue(18446744073709551615.0), "1.8446744073709552e+19");
  EXPECT_EQ(SampleValue(INFINITY), "+Inf");
  EXPECT_EQ(SampleValue(-INFINITY), "-Inf");
  EXPECT_EQ(SampleValue(NAN), "NaN");

  MetricsRegistry registry;
  registry.AddGauge("g", "Help with \\ and\nnewline.", {{"path", "C:\\spool \"x\"\n"}});
  EXPECT_EQ(registry.Render(),
            "# HELP g Help with \\\\ and\\nnewline.\n"
            "# TYPE g gauge\n"
            "g{path=\"C:\\\\spool \\\"x\\\"\\n\"} 0\n");
}

TEST(Metrics, InvalidNamesAreFlagged) {
  const struct {
    const char* name;
    const char* label;
    bool histogram;
  } kBad[] = {{"9lives", "a", false},      {"has-dash", "a", false}, {"", "a", false},
              {"ok", "__reserved", false}, {"ok", "a:b", false},     {"ok", "le", true}};
  for (const auto& bad : kBad) {
    MetricsRegistry registry;
    if (bad.histogram) {
      registry.AddHistogram(bad.name, "x", {1}, 1, {{bad.label, "v"}});
    } else {
      registry.AddCounter(bad.name, "x", {{bad.label, "v"}});
    }
    EXPECT_FALSE(registry.Valid()) << bad.name << " " << bad.label;
  }
  MetricsRegistry mixed;
  mixed.AddCounter("same", "x");
  mixed.AddGauge("same", "x");
  EXPECT_FALSE(mixed.Valid());
  MetricsRegistry good;
  good.AddCounter("ns:sub_total", "x", {{"_a1", "v"}});
  EXPECT_TRUE(good.Valid());
}

TEST(Metrics, UpdatesFromManyThreadsAllCount) {
  MetricsRegistry registry;
  Counter& counter = registry.AddCounter("c_total", "C.");
  Gauge& gauge = registry.AddGauge("g", "G.");
  Histogram& histogram = registry.AddHistogram("h", "H.", LatencyBuckets(), 1e6);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10000; ++i) {
        counter.Add();
        gauge.Add(1);
        histogram.Observe(static_cast<uint64_t>(i * 37 + t));
        gauge.Add(-1);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter.Value(), 40000u);
  EXPECT_EQ(gauge.Value(), 0);
  uint64_t observations = 0;
  for (size_t i = 0; i <= histogram.Bounds(); ++i) observations += histogram.InBucket(i);
  EXPECT_EQ(observations, 40000u);
  EXPECT_NE(registry.Render().find("h_count 40000\n"), std::string::npos);
}

}  // namespace
