// The program's log events, in one place, so that every emitter uses the same target, level,
// message and field names. Emit with `KRO_LOG_EVENT(kro_runtime::log_events::<name>, fields...)`,
// field values in the order listed here.
#pragma once

#include <array>

#include "kro_runtime/log.hpp"

namespace kro_runtime::log_events {

using kro_runtime::log::EventSpec;
using kro_runtime::log::Level;

inline constexpr EventSpec<1> reused_exchange_optimization{
    Level::Info,
    "kro_codegen::exchange::reuse",
    "reused exchange optimization after validating relocated rows",
    {"phase"},
    0};

inline constexpr EventSpec<2> exchange_choices_require_reoptimization{
    Level::Debug,
    "kro_codegen::exchange::reuse",
    "exchange choices require reoptimization after placement",
    {"phase", "error"},
    1};

inline constexpr EventSpec<2> paired_candidate_not_encodable{
    Level::Debug,
    "kro_codegen::exchange",
    "paired exchange candidate is not encodable",
    {"phase", "error"},
    2};

inline constexpr EventSpec<2> ordinary_candidate_not_encodable{
    Level::Debug,
    "kro_codegen::exchange",
    "ordinary exchange candidate is not encodable",
    {"phase", "error"},
    3};

inline constexpr EventSpec<5> compared_ordinary_and_paired{
    Level::Info,
    "kro_codegen::exchange",
    "compared ordinary and paired exchange schedules",
    {"phase", "candidates", "ordinary_horizon", "paired_horizon", "use_paired"},
    4};

inline constexpr EventSpec<1> retrying_with_alignment_validation{
    Level::Info,
    "kro_codegen::exchange",
    "retrying exchange schedule with incremental instruction-alignment validation",
    {"transfers"},
    5};

inline constexpr EventSpec<3> finished_alignment_validation{
    Level::Info,
    "kro_codegen::exchange",
    "finished incremental instruction-alignment validation",
    {"transfers", "elapsed_ms", "success"},
    6};

inline constexpr EventSpec<2> repair_reached_budget{
    Level::Debug,
    "kro_codegen::exchange::order",
    "broader exchange repair reached its queue-work budget",
    {"transfers", "visits"},
    7};

inline constexpr EventSpec<3> finished_repair_ordering{Level::Debug,
                                                       "kro_codegen::exchange::order",
                                                       "finished exchange repair ordering",
                                                       {"transfers", "visits", "local"},
                                                       8};

inline constexpr EventSpec<3> assembled_point_to_point{
    Level::Debug,
    "kro_exchange",
    "assembled point-to-point exchange",
    {"sender_logical", "receiver_logical", "count"},
    9};

inline constexpr EventSpec<4> assembled_multicast{
    Level::Debug,
    "kro_exchange",
    "assembled multicast exchange",
    {"sender_logical", "receiver_logical", "count", "schedule_offset"},
    10};

inline constexpr EventSpec<8> encoded_controls_differ{
    Level::Debug,
    "kro_exchange::diagnostic",
    "encoded incoming controls differ from the phase schedule",
    {"tile", "first_mismatch", "actual_len", "expected_len", "actual", "expected", "actual_window",
     "expected_window"},
    11};

// Every catalogued event, indexed by `catalogue_index`; the installed filter decides each once.
inline constexpr std::array<log::EventMeta, 12> catalogue{
    reused_exchange_optimization.meta(),
    exchange_choices_require_reoptimization.meta(),
    paired_candidate_not_encodable.meta(),
    ordinary_candidate_not_encodable.meta(),
    compared_ordinary_and_paired.meta(),
    retrying_with_alignment_validation.meta(),
    finished_alignment_validation.meta(),
    repair_reached_budget.meta(),
    finished_repair_ordering.meta(),
    assembled_point_to_point.meta(),
    assembled_multicast.meta(),
    encoded_controls_differ.meta(),
};

static_assert(catalogue.size() <= log::kMaxCatalogueEvents);
static_assert([] {
  for (std::size_t i = 0; i < catalogue.size(); ++i)
    if (catalogue[i].catalogue_index != i) return false;
  return true;
}());

}  // namespace kro_runtime::log_events
