#include "metrics/metric_store.h"

#include <charconv>
#include <cmath>
#include <stdexcept>

namespace tallyvox::metrics {
namespace {

bool AllDigits(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Numbers by their value (without leading zeros a shorter one is smaller),
// other texts as bytes.
bool ValueLess(const std::string& a, const std::string& b) {
  if (AllDigits(a) && AllDigits(b) && a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

std::string EscapeLabelValue(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string EscapeHelp(const char* help) {
  std::string out;
  for (const char* p = help; *p != '\0'; ++p) {
    if (*p == '\\') {
      out += "\\\\";
    } else if (*p == '\n') {
      out += "\\n";
    } else {
      out += *p;
    }
  }
  return out;
}

std::string ValueText(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  char buf[32];
  const auto result = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, result.ptr);
}

}  // namespace

bool MetricStore::LabelsLess::operator()(const Labels& a, const Labels& b) const {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    if (a[i].first != b[i].first) return a[i].first < b[i].first;
    if (a[i].second != b[i].second) return ValueLess(a[i].second, b[i].second);
  }
  return a.size() < b.size();
}

void MetricStore::Declare(const MetricFamily& family) {
  MutexLock lock(&mu_);
  families_.push_back(Family{family, {}});
}

MetricStore::Family& MetricStore::Find(std::string_view name) {
  for (Family& f : families_) {
    if (name == f.meta.name) return f;
  }
  throw std::logic_error("metric family not declared: " + std::string(name));
}

void MetricStore::Set(std::string_view name, const Labels& labels, double value) {
  MutexLock lock(&mu_);
  Find(name).samples[labels] = value;
}

void MetricStore::Add(std::string_view name, const Labels& labels, double delta) {
  MutexLock lock(&mu_);
  Find(name).samples[labels] += delta;
}

void MetricStore::EraseWhere(std::string_view name, const std::string& key,
                             const std::string& value) {
  MutexLock lock(&mu_);
  auto& samples = Find(name).samples;
  std::erase_if(samples, [&](const auto& sample) {
    for (const auto& [k, v] : sample.first) {
      if (k == key && v == value) return true;
    }
    return false;
  });
}

double MetricStore::Value(std::string_view name, const Labels& labels, double absent) const {
  MutexLock lock(&mu_);
  for (const Family& f : families_) {
    if (name != f.meta.name) continue;
    const auto it = f.samples.find(labels);
    return it == f.samples.end() ? absent : it->second;
  }
  return absent;
}

std::string MetricStore::Render() const {
  std::string out;
  MutexLock lock(&mu_);
  for (const Family& f : families_) {
    const std::string name = f.meta.name;
    out += "# HELP " + name + " " + EscapeHelp(f.meta.help) + "\n";
    out += "# TYPE " + name + (f.meta.type == MetricType::kCounter ? " counter\n" : " gauge\n");
    for (const auto& [labels, value] : f.samples) {
      out += name;
      if (!labels.empty()) {
        out += '{';
        for (size_t i = 0; i < labels.size(); ++i) {
          if (i > 0) out += ',';
          out += labels[i].first + "=\"" + EscapeLabelValue(labels[i].second) + "\"";
        }
        out += '}';
      }
      out += " " + ValueText(value) + "\n";
    }
  }
  return out;
}

}  // namespace tallyvox::metrics
