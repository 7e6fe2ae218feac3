// Structured log events: a level, a target (module path), a fixed message and typed named fields.
//
// Events are described once by a constexpr `EventSpec` (see log_events.hpp for the program's
// catalogue) and emitted with `KRO_LOG_EVENT(descriptor, field values...)`. Until a subscriber is
// installed (`kro_runtime::init_tracing`), every event is discarded and `enabled` is false.
//
// Events sit inside the scheduler's hot loops, so `enabled` is a byte comparison against the
// lowest level any directive lets through, followed for catalogued events by one cached per-event
// decision. Field values are only evaluated and formatted once the event is known to be enabled.
#pragma once

#include <array>
#include <atomic>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <ranges>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace kro_runtime {

// Installs the process-wide subscriber configured from the environment: the filter from `KRO_LOG`
// (unparsable values fall back to "info") and JSON lines when `KRO_LOG_FORMAT` is exactly "json",
// otherwise human-readable lines, written to standard output. A second call changes nothing.
void init_tracing();

// Whether `KRO_LOG` is set at all (even to an empty value): the driver calls `init_tracing` only
// then.
bool log_filter_variable_present();

}  // namespace kro_runtime

namespace kro_runtime::log {

enum class Level : std::uint8_t { Trace, Debug, Info, Warn, Error };

// Index value of events that are not part of the program's catalogue.
inline constexpr std::uint16_t kUncatalogued = 0xFFFF;
// Capacity of the per-event decision cache filled at installation.
inline constexpr std::size_t kMaxCatalogueEvents = 32;

// An event's level, target and message, without its field names.
struct EventMeta {
  Level level;
  std::string_view target;
  std::string_view message;
  std::uint16_t catalogue_index = kUncatalogued;
};

// The constant part of one event: level, target, message and field names in output order.
template <std::size_t N>
struct EventSpec {
  Level level;
  std::string_view target;
  std::string_view message;
  std::array<std::string_view, N> fields;
  // Position in the catalogue (log_events.hpp); uncatalogued events are filtered by a lookup.
  std::uint16_t catalogue_index = kUncatalogued;

  constexpr EventMeta meta() const { return {level, target, message, catalogue_index}; }
};

// A pre-rendered debug text, written verbatim (not quoted).
struct Debug {
  std::string text;
};

// An error's display text, written verbatim (not quoted).
struct Display {
  std::string text;
};

template <typename R>
concept IntegerList = std::ranges::contiguous_range<R> && std::ranges::sized_range<R> &&
                      std::integral<std::remove_cv_t<std::ranges::range_value_t<R>>> &&
                      !std::same_as<std::remove_cv_t<std::ranges::range_value_t<R>>, char> &&
                      !std::same_as<std::remove_cv_t<std::ranges::range_value_t<R>>, bool>;

// One field value, borrowed from the emitting expression for the duration of the emit call.
class FieldValue {
 public:
  enum class Kind : std::uint8_t { Signed, Unsigned, Bool, Text, Verbatim, List };

  FieldValue(bool value) : kind_(Kind::Bool), boolean_(value) {}
  template <std::integral T>
  requires(!std::same_as<T, bool> && !std::same_as<T, char>) FieldValue(T value) {
    if constexpr (std::is_signed_v<T>) {
      kind_ = Kind::Signed;
      signed_ = value;
    } else {
      kind_ = Kind::Unsigned;
      unsigned_ = value;
    }
  }
  FieldValue(std::string_view text) : kind_(Kind::Text), text_(text) {}
  FieldValue(const std::string& text) : kind_(Kind::Text), text_(text) {}
  FieldValue(const char* text) : kind_(Kind::Text), text_(text) {}
  FieldValue(const Debug& value) : kind_(Kind::Verbatim), text_(value.text) {}
  FieldValue(const Display& value) : kind_(Kind::Verbatim), text_(value.text) {}
  template <IntegerList R>
  FieldValue(const R& list)
      : kind_(Kind::List),
        list_signed_(std::is_signed_v<std::ranges::range_value_t<R>>),
        list_width_(sizeof(std::ranges::range_value_t<R>)),
        list_data_(std::ranges::data(list)),
        list_size_(std::ranges::size(list)) {}

  Kind kind() const { return kind_; }
  std::int64_t as_signed() const { return signed_; }
  std::uint64_t as_unsigned() const { return unsigned_; }
  bool as_bool() const { return boolean_; }
  std::string_view as_text() const { return text_; }
  std::size_t list_size() const { return list_size_; }
  bool list_signed() const { return list_signed_; }
  // Element `i` of a list, widened; read `list_signed()` to pick the interpretation.
  std::int64_t list_signed_at(std::size_t i) const;
  std::uint64_t list_unsigned_at(std::size_t i) const;

 private:
  Kind kind_;
  bool boolean_ = false;
  bool list_signed_ = false;
  std::uint8_t list_width_ = 0;
  std::int64_t signed_ = 0;
  std::uint64_t unsigned_ = 0;
  std::string_view text_;
  const void* list_data_ = nullptr;
  std::size_t list_size_ = 0;
};

namespace detail {

// Lowest level (as a byte) that any installed directive lets through; above Error until installed.
inline std::atomic<std::uint8_t> g_min_enabled_level{5};
// Installed decision per catalogued event, written before `g_min_enabled_level` is published.
inline std::array<std::atomic<bool>, kMaxCatalogueEvents> g_catalogue_enabled{};

bool enabled_uncatalogued(Level level, std::string_view target);
void dispatch(const EventMeta& meta, std::span<const std::string_view> names,
              std::span<const FieldValue> values);

}  // namespace detail

// Whether an event of `descriptor` would be written. False whenever logging was never initialised.
template <std::size_t N>
inline bool enabled(const EventSpec<N>& descriptor) {
  if (static_cast<std::uint8_t>(descriptor.level) <
      detail::g_min_enabled_level.load(std::memory_order_acquire))
    return false;
  if (descriptor.catalogue_index < kMaxCatalogueEvents)
    return detail::g_catalogue_enabled[descriptor.catalogue_index].load(std::memory_order_relaxed);
  return detail::enabled_uncatalogued(descriptor.level, descriptor.target);
}

// Writes one event through the installed subscriber (nothing when none is installed). Call it
// after `enabled`; the field count must match the descriptor's.
template <std::size_t N, typename... Args>
void emit(const EventSpec<N>& descriptor, const Args&... args) {
  static_assert(sizeof...(Args) == N, "log event field count differs from its catalogue entry");
  const std::array<FieldValue, N> values{FieldValue(args)...};
  detail::dispatch(descriptor.meta(), descriptor.fields, values);
}

}  // namespace kro_runtime::log

// Emits `descriptor` with the given field values (in catalogue order) when it is enabled; the
// values are not evaluated otherwise.
#define KRO_LOG_EVENT(descriptor, ...)                                 \
  do {                                                                 \
    if (::kro_runtime::log::enabled(descriptor)) [[unlikely]]          \
      ::kro_runtime::log::emit(descriptor __VA_OPT__(, ) __VA_ARGS__); \
  } while (false)
