// --info as JSON: see json_info.h.
#include "json_info.h"

#include <cstdio>
#include <nlohmann/json.hpp>

namespace avqdump {

namespace {

using Json = nlohmann::ordered_json;

Json text_or_null(const std::string& s) {
    return s.empty() ? Json(nullptr) : Json(s);
}

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
    const StoredTime t = ascii_time_meaning(at.minute, at.second);
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

} // namespace

void print_info_json(const char* name, const avq::Reader& reader, const Summary& sum,
                     const BinaryTimes& times) {
    const bool binary = reader.form() == avq::Form::binary;
    Json o;
    o["file"] = name;
    o["form"] = binary ? "binary" : "ascii";
    o["header"] = reader.header();
    o["blocks"] = sum.blocks;
    o["samples_per_channel"] = sum.blocks * avq::SAMPLES;
    if (binary) {
        o["time_form"] = times.unix_seconds ? "unix_seconds" : "minute_of_day";
        o["time_form_reason"] = times.why;
    } else {
        const char* kind =
            sum.blocks > 0
                ? kind_name(ascii_time_meaning(sum.first_ascii.minute, sum.first_ascii.second).kind)
                : nullptr;
        o["time_form"] = kind ? Json(kind) : Json(nullptr);
    }
    const bool any = sum.blocks > 0;
    o["first_block_time"] = !any     ? Json(nullptr)
                            : binary ? binary_time(sum.first_words, times.unix_seconds)
                                     : ascii_time(sum.first_ascii);
    o["last_block_time"] = !any     ? Json(nullptr)
                           : binary ? binary_time(sum.last_words, times.unix_seconds)
                                    : ascii_time(sum.last_ascii);
    o["block_times"] = steps(sum.steps(reader.form(), times));
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
