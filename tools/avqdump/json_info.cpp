// --info as JSON: see json_info.h.
#include "json_info.h"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace avqdump {

namespace {

using Json = nlohmann::ordered_json;

Json text_or_null(const std::string& s) {
    return s.empty() ? Json(nullptr) : Json(s);
}

using avq::TimeKind;

const char* kind_name(TimeKind k) {
    switch (k) {
    case TimeKind::unix_seconds:
        return "unix_seconds";
    case TimeKind::epoch_minutes:
        return "minutes_since_epoch";
    case TimeKind::minute_of_day:
        return "minute_of_day";
    case TimeKind::unknown:
        break;
    }
    return nullptr;
}

Json number_or_null(double v) {
    return std::isfinite(v) ? Json(v) : Json(nullptr);
}

Json binary_time(avq::TimeHeader t, bool unix_seconds) {
    Json o;
    o["stored"] = {t.word0, t.word1};
    if (unix_seconds) {
        o["seconds"] = avq::header_value(t);
        o["utc"] = text_or_null(avq::iso_utc(avq::header_value(t)));
    } else {
        o["seconds_of_day"] = t.word0 * 60 + t.word1;
        o["utc"] = text_or_null(avq::iso_time_of_day(t.word0, t.word1));
    }
    return o;
}

Json ascii_time(const AsciiTime& at) {
    Json o;
    o["stored"] = {at.minute, at.second};
    const avq::StoredTime t = avq::ascii_time_meaning(at.minute, at.second);
    if (t.kind == TimeKind::minute_of_day) {
        o["seconds_of_day"] = t.seconds;
        o["utc"] = text_or_null(avq::iso_time_of_day(at.minute, at.second));
    } else if (t.kind != TimeKind::unknown) {
        o["seconds"] = t.seconds;
        o["utc"] = text_or_null(avq::iso_utc(t.seconds));
    } else {
        o["utc"] = nullptr;
    }
    return o;
}

Json steps(const Steps& s) {
    Json o;
    const bool several = s.blocks > 1;
    o["regular"] = several ? Json(s.regular()) : Json(nullptr);
    o["min_step_s"] = several ? Json(s.min_step) : Json(nullptr);
    o["max_step_s"] = several ? Json(s.max_step) : Json(nullptr);
    const std::uint64_t odd = s.first_irregular_block();
    o["first_irregular_block"] = odd > 0 ? Json(odd) : Json(nullptr);
    o["text"] = s.describe();
    return o;
}

Json sampling(const avq::Timeline& t) {
    Json o;
    o["hz"] = number_or_null(t.fs());
    o["from"] = t.fs_source() == avq::FrequencySource::header   ? Json("header")
                : t.fs_source() == avq::FrequencySource::fitted ? Json("block_times")
                                                                : Json(nullptr);
    return o;
}

Json runs(const avq::Timeline& t) {
    Json list = Json::array();
    for (const avq::Run& r : t.runs()) {
        Json o;
        o["first_block"] = r.first_block;
        o["blocks"] = r.blocks;
        o["start"] = number_or_null(r.start);
        o["utc"] = t.dated() ? text_or_null(avq::iso_utc(r.start)) : Json(nullptr);
        list.push_back(o);
    }
    return list;
}

} // namespace

void print_info_json(const char* name, const avq::Reader& reader, const Summary& sum,
                     const avq::Timeline& timeline) {
    const bool binary = reader.form() == avq::Form::binary;
    const bool unix_seconds = timeline.kind() == TimeKind::unix_seconds;
    Json o;
    o["file"] = name;
    o["form"] = binary ? "binary" : "ascii";
    o["header"] = reader.header();
    o["blocks"] = sum.blocks;
    o["samples_per_channel"] = sum.blocks * avq::SAMPLES;
    if (binary) {
        o["time_form"] = unix_seconds ? "unix_seconds" : "minute_of_day";
        o["time_form_reason"] = timeline.kind_reason();
    } else {
        const char* kind =
            sum.blocks > 0
                ? kind_name(
                      avq::ascii_time_meaning(sum.first_ascii.minute, sum.first_ascii.second).kind)
                : nullptr;
        o["time_form"] = kind ? Json(kind) : Json(nullptr);
    }
    const bool any = sum.blocks > 0;
    o["first_block_time"] = !any     ? Json(nullptr)
                            : binary ? binary_time(sum.first_words, unix_seconds)
                                     : ascii_time(sum.first_ascii);
    o["last_block_time"] = !any     ? Json(nullptr)
                           : binary ? binary_time(sum.last_words, unix_seconds)
                                    : ascii_time(sum.last_ascii);
    o["block_times"] = steps(sum.steps(timeline));
    o["sampling_frequency"] = sampling(timeline);
    o["dated"] = timeline.dated();
    o["run_count"] = timeline.runs().size();
    o["runs"] = runs(timeline);
    if (binary) {
        Json limits = Json::array();
        for (unsigned c = 0; c < avq::CHANNELS; ++c)
            limits.push_back({{"channel", c + 1},
                              {"at_32767", sum.at_max[c]},
                              {"at_minus_32768", sum.at_min[c]}});
        o["limits_16_bit"] = limits;
    }
    const std::string line = o.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
}

} // namespace avqdump
