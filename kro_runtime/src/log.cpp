#include "kro_runtime/log.hpp"

#include <cstdlib>
#include <cstring>

#include "kro_runtime/log_events.hpp"
#include "kro_runtime/log_subscriber.hpp"

namespace kro_runtime::log {
namespace {

// The process-wide subscriber: set once, never removed (events may be emitted until exit).
std::atomic<bool> g_claimed{false};
std::atomic<const Subscriber*> g_subscriber{nullptr};

}  // namespace

std::int64_t FieldValue::list_signed_at(std::size_t i) const {
  const auto* bytes = static_cast<const unsigned char*>(list_data_) + i * list_width_;
  switch (list_width_) {
    case 1: {
      std::int8_t v;
      std::memcpy(&v, bytes, 1);
      return v;
    }
    case 2: {
      std::int16_t v;
      std::memcpy(&v, bytes, 2);
      return v;
    }
    case 4: {
      std::int32_t v;
      std::memcpy(&v, bytes, 4);
      return v;
    }
    default: {
      std::int64_t v;
      std::memcpy(&v, bytes, 8);
      return v;
    }
  }
}

std::uint64_t FieldValue::list_unsigned_at(std::size_t i) const {
  const auto* bytes = static_cast<const unsigned char*>(list_data_) + i * list_width_;
  switch (list_width_) {
    case 1: {
      std::uint8_t v;
      std::memcpy(&v, bytes, 1);
      return v;
    }
    case 2: {
      std::uint16_t v;
      std::memcpy(&v, bytes, 2);
      return v;
    }
    case 4: {
      std::uint32_t v;
      std::memcpy(&v, bytes, 4);
      return v;
    }
    default: {
      std::uint64_t v;
      std::memcpy(&v, bytes, 8);
      return v;
    }
  }
}

namespace detail {

bool enabled_uncatalogued(Level level, std::string_view target) {
  const Subscriber* subscriber = g_subscriber.load(std::memory_order_acquire);
  return subscriber != nullptr && subscriber->enabled(level, target);
}

void dispatch(const EventMeta& meta, std::span<const std::string_view> names,
              std::span<const FieldValue> values) {
  if (const Subscriber* subscriber = g_subscriber.load(std::memory_order_acquire))
    subscriber->write(meta, names, values);
}

}  // namespace detail

bool install(Subscriber subscriber) {
  if (g_claimed.exchange(true, std::memory_order_acq_rel)) return false;
  const auto* installed = new Subscriber(std::move(subscriber));  // lives until exit
  for (const auto& event : log_events::catalogue)
    detail::g_catalogue_enabled[event.catalogue_index].store(
        installed->enabled(event.level, event.target), std::memory_order_relaxed);
  g_subscriber.store(installed, std::memory_order_release);
  // Published last: `enabled` reads the per-event decisions only after passing this check.
  detail::g_min_enabled_level.store(static_cast<std::uint8_t>(installed->filter().max_level()),
                                    std::memory_order_release);
  return true;
}

bool installed() { return g_subscriber.load(std::memory_order_acquire) != nullptr; }

}  // namespace kro_runtime::log

namespace kro_runtime {

namespace {
constexpr const char* kFilterVariable = "KRO_LOG";
constexpr const char* kFormatVariable = "KRO_LOG_FORMAT";
}  // namespace

bool log_filter_variable_present() { return std::getenv(kFilterVariable) != nullptr; }

void init_tracing() {
  if (log::installed()) return;
  const char* filter = std::getenv(kFilterVariable);
  auto value = filter ? std::optional<std::string_view>(filter) : std::nullopt;
  // A failed install means a subscriber is already in place: keep it, as documented.
  (void)log::install(log::Subscriber(log::Filter::from_variable(value),
                                     log::format_from_variable(std::getenv(kFormatVariable)),
                                     stdout));
}

}  // namespace kro_runtime
