// The C interface over the core. Every entry point checks its arguments and
// catches every exception: nothing but return values crosses this boundary.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "compiler/score_compiler.h"
#include "compiler/warnings.h"
#include "notation/musicxml.h"
#include "quarvel.h"
#include "synth/player.h"
#include "synth/sounding_notes.h"
#include "synth/tables.h"

namespace {

using namespace quarvel;

static_assert(QUARVEL_SAMPLE_RATE == kFrameRate, "quarvel.h names another frame rate");

// What a compiled score holds: the image with its source map and the tables
// built from its instruments. Shared by the caller's handle and every player.
struct ScoreData {
    CompiledScore compiled;
    Tables tables;
};

}  // namespace

struct quarvel_score {
    std::shared_ptr<const ScoreData> data;
};

struct quarvel_player {
    std::shared_ptr<const ScoreData> data;  // keeps the score alive
    Player player;

    quarvel_player(std::shared_ptr<const ScoreData> d, int startPart)
        : data(std::move(d)), player(data->compiled, data->tables, startPart) {}
};

namespace {

// Part numbers are bytes: -g reads two hexadecimal digits.
bool partNumberValid(int part) {
    return part >= 0 && part <= 255;
}

void fill(quarvel_diagnostic* out, int number, std::int64_t line, std::int64_t column,
          std::string_view message) {
    if (out == nullptr) return;
    out->number = number;
    const auto clamp = [](std::int64_t v) {
        return static_cast<int>(std::clamp<std::int64_t>(v, INT32_MIN, INT32_MAX));
    };
    out->line = clamp(line);
    out->column = clamp(column);
    const std::size_t n = std::min(message.size(), sizeof out->message - 1);
    std::memcpy(out->message, message.data(), n);
    out->message[n] = '\0';
}

// Renders up to `frames` frames a chunk at a time and hands every frame's
// samples to put(index, left, right): the low half of a frame is the left
// sample, the high half the right one.
template <typename Put>
std::size_t renderConverted(quarvel_player* player, std::size_t frames, Put put) {
    if (player == nullptr || frames == 0) return 0;
    try {
        constexpr std::size_t kChunk = 4096;
        std::uint32_t chunk[kChunk];
        std::size_t done = 0;
        while (done < frames) {
            const std::size_t want = std::min(kChunk, frames - done);
            const std::size_t got = player->player.render(chunk, want);
            for (std::size_t i = 0; i < got; ++i) {
                put(done + i, static_cast<std::int16_t>(static_cast<std::uint16_t>(chunk[i])),
                    static_cast<std::int16_t>(static_cast<std::uint16_t>(chunk[i] >> 16)));
            }
            done += got;
            if (got < want) break;
        }
        return done;
    } catch (...) {
        return 0;
    }
}

}  // namespace

extern "C" {

const char* quarvel_version(void) {
#define QUARVEL_STR2(x) #x
#define QUARVEL_STR(x) QUARVEL_STR2(x)
    return QUARVEL_STR(QUARVEL_VERSION_MAJOR) "." QUARVEL_STR(
        QUARVEL_VERSION_MINOR) "." QUARVEL_STR(QUARVEL_VERSION_PATCH);
}

quarvel_score* quarvel_compile(const char* text, size_t length, int dialect,
                               quarvel_diagnostic* error) {
    if ((text == nullptr && length != 0) || dialect < QUARVEL_DIALECT_COMBINED ||
        dialect > QUARVEL_DIALECT_LUTERA) {
        fill(error, QUARVEL_ERROR_ARGUMENT, 0, 0, "no text, or an unknown dialect");
        return nullptr;
    }
    try {
        const SourceText source(std::string_view(text == nullptr ? "" : text, length));
        const Dialect d = dialect == QUARVEL_DIALECT_QUARVEL  ? Dialect::quarvel
                          : dialect == QUARVEL_DIALECT_LUTERA ? Dialect::lutera
                                                              : Dialect::combined;
        auto data = std::make_shared<ScoreData>();
        data->compiled = compileScore(source, d, CompileOptions{.keepNotes = true});
        data->tables = buildTables(data->compiled.instruments);
        auto* score = new quarvel_score{std::move(data)};
        if (error != nullptr) fill(error, 0, 0, 0, "");
        return score;
    } catch (const CompileError& e) {
        fill(error, e.number, e.line, e.column, e.what);
    } catch (const std::bad_alloc&) {
        fill(error, QUARVEL_ERROR_MEMORY, 0, 0, "no memory to compile the score");
    } catch (const std::length_error&) {
        fill(error, QUARVEL_ERROR_MEMORY, 0, 0, "no memory to compile the score: it is too large");
    } catch (const std::exception& e) {
        fill(error, QUARVEL_ERROR_INTERNAL, 0, 0,
             std::string("unexpected failure while compiling: ") + e.what());
    } catch (...) {
        fill(error, QUARVEL_ERROR_INTERNAL, 0, 0, "unexpected failure while compiling");
    }
    return nullptr;
}

void quarvel_score_free(quarvel_score* score) {
    delete score;
}

uint64_t quarvel_score_total_frames(const quarvel_score* score, int start_part) {
    if (score == nullptr) return 0;
    try {
        return renderedFrames(score->data->compiled, score->data->tables, start_part);
    } catch (...) {
        return 0;
    }
}

int quarvel_score_bar_count(const quarvel_score* score) {
    if (score == nullptr) return 0;
    return static_cast<int>(score->data->compiled.sourceMap.bars.size());
}

int quarvel_score_bar(const quarvel_score* score, int number, quarvel_bar* bar) {
    if (score == nullptr || bar == nullptr) return QUARVEL_EINVAL;
    const auto& bars = score->data->compiled.sourceMap.bars;
    if (number < 1 || static_cast<std::size_t>(number) > bars.size()) return QUARVEL_ENOTFOUND;
    const BarSource& source = bars[static_cast<std::size_t>(number) - 1];
    *bar = quarvel_bar{};
    bar->number = number;
    const TextRange text = score->data->compiled.sourceMap.rangeOf(source.text);
    if (!text.empty) {
        bar->first_line = static_cast<int>(text.first.line);
        bar->first_column = static_cast<int>(text.first.column);
        bar->last_line = static_cast<int>(text.last.line);
        bar->last_column = static_cast<int>(text.last.column);
    }
    bar->ticks = source.ticks;
    return QUARVEL_OK;
}

int quarvel_score_bar_at(const quarvel_score* score, int line, int column) {
    if (score == nullptr) return 0;
    const auto bar = score->data->compiled.sourceMap.barAt(line, column);
    return bar ? static_cast<int>(*bar) + 1 : 0;
}

int quarvel_score_warning_count(const quarvel_score* score) {
    if (score == nullptr) return 0;
    return static_cast<int>(score->data->compiled.warnings.size());
}

int quarvel_warning_on_by_default(const char* name) {
    if (name == nullptr) return QUARVEL_EINVAL;
    const auto kind = warningNamed(name);
    if (!kind) return QUARVEL_ENOTFOUND;
    return warningInfo(*kind).onByDefault ? 1 : 0;
}

int quarvel_score_warning(const quarvel_score* score, int index, quarvel_diagnostic* warning,
                          const char** name) {
    if (score == nullptr || warning == nullptr) return QUARVEL_EINVAL;
    const auto& warnings = score->data->compiled.warnings;
    if (index < 0 || static_cast<std::size_t>(index) >= warnings.size()) return QUARVEL_ENOTFOUND;
    const Warning& w = warnings[static_cast<std::size_t>(index)];
    fill(warning, 0, w.where.line, w.where.column, w.message);
    // The catalogue's names live for ever; the stored name is the same text.
    if (name != nullptr) *name = warningInfo(w.kind).name.data();
    return QUARVEL_OK;
}

int quarvel_score_start_part_warning(const quarvel_score* score, int start_part,
                                     quarvel_diagnostic* warning) {
    if (score == nullptr || warning == nullptr || !partNumberValid(start_part)) {
        return QUARVEL_EINVAL;
    }
    try {
        const auto found = startPartWarning(score->data->compiled, start_part);
        if (!found) return QUARVEL_ENOTFOUND;
        fill(warning, 0, 0, 0, found->message);
        return QUARVEL_OK;
    } catch (...) {
        return QUARVEL_ENOMEM;
    }
}

size_t quarvel_score_notes(const quarvel_score* score, int start_part, quarvel_note* notes,
                           size_t capacity) {
    if (score == nullptr || (notes == nullptr && capacity != 0)) return 0;
    try {
        const auto& compiled = score->data->compiled;
        const auto all = soundingNotes(compiled, score->data->tables, start_part);
        const std::size_t n = std::min(capacity, all.size());
        for (std::size_t i = 0; i < n; ++i) {
            const SoundingNote& s = all[i];
            quarvel_note& out = notes[i];
            out = quarvel_note{};
            out.voice = s.voice + 1;
            out.slot = s.slot;
            out.instrument = s.instrument;
            out.note = s.note;
            out.level = s.level;
            out.start_frame = s.startFrame;
            out.frames = s.frames;
            out.bar = static_cast<int>(s.bar) + 1;
            if (s.token) {
                const TokenSource& token = compiled.sourceMap.tokens[*s.token];
                out.line = static_cast<int>(token.first.line);
                out.column = static_cast<int>(token.first.column);
            }
        }
        return all.size();
    } catch (...) {
        return QUARVEL_NOTES_ENOMEM;
    }
}

size_t quarvel_score_musicxml(const quarvel_score* score, int start_part, char* buffer,
                              size_t capacity) {
    if (score == nullptr || (buffer == nullptr && capacity != 0)) return 0;
    try {
        const std::string text = scoreMusicXml(score->data->compiled, score->data->tables, "",
                                               NotationOptions{.startPart = start_part});
        if (capacity != 0) std::memcpy(buffer, text.data(), std::min(capacity, text.size()));
        return text.size();
    } catch (...) {
        return 0;
    }
}

quarvel_player* quarvel_player_new(const quarvel_score* score, int start_part) {
    if (score == nullptr || !partNumberValid(start_part)) return nullptr;
    try {
        return new quarvel_player(score->data, start_part);
    } catch (...) {
        return nullptr;
    }
}

void quarvel_player_free(quarvel_player* player) {
    delete player;
}

size_t quarvel_player_render(quarvel_player* player, int16_t* interleaved, size_t frames) {
    if (interleaved == nullptr) return 0;
    return renderConverted(player, frames,
                           [interleaved](std::size_t at, std::int16_t left, std::int16_t right) {
                               interleaved[2 * at] = left;
                               interleaved[2 * at + 1] = right;
                           });
}

size_t quarvel_player_render_float(quarvel_player* player, float* interleaved, size_t frames) {
    if (interleaved == nullptr) return 0;
    return renderConverted(player, frames,
                           [interleaved](std::size_t at, std::int16_t left, std::int16_t right) {
                               interleaved[2 * at] = static_cast<float>(left) / 32768.0f;
                               interleaved[2 * at + 1] = static_cast<float>(right) / 32768.0f;
                           });
}

int quarvel_player_position(const quarvel_player* player, quarvel_position* position) {
    if (player == nullptr || position == nullptr) return QUARVEL_EINVAL;
    try {
        *position = quarvel_position{};
        position->frame = player->player.frame();
        position->total_frames = player->player.totalFrames();
        if (const auto where = player->player.position()) {
            position->part = where->partNumber;
            position->bar = where->bar ? static_cast<int>(*where->bar) + 1 : 0;
            position->bar_start_frame = where->barStartFrame;
        }
        return QUARVEL_OK;
    } catch (...) {
        return QUARVEL_ENOMEM;
    }
}

int quarvel_player_seek_bar(quarvel_player* player, int bar) {
    if (player == nullptr) return QUARVEL_EINVAL;
    if (bar < 1) return QUARVEL_ENOTFOUND;
    try {
        return player->player.seekBar(static_cast<std::size_t>(bar) - 1) ? QUARVEL_OK
                                                                         : QUARVEL_ENOTFOUND;
    } catch (...) {
        return QUARVEL_ENOMEM;
    }
}

int quarvel_player_seek_part(quarvel_player* player, int part) {
    if (player == nullptr || !partNumberValid(part)) return QUARVEL_EINVAL;
    try {
        if (part == 0) {  // as for quarvel_player_new and -g00: the start
            player->player.seekFrame(0);
            return QUARVEL_OK;
        }
        return player->player.seekPart(part) ? QUARVEL_OK : QUARVEL_ENOTFOUND;
    } catch (...) {
        return QUARVEL_ENOMEM;
    }
}

int quarvel_player_seek_frame(quarvel_player* player, uint64_t frame) {
    if (player == nullptr) return QUARVEL_EINVAL;
    try {
        player->player.seekFrame(frame);
        return QUARVEL_OK;
    } catch (...) {
        return QUARVEL_ENOMEM;
    }
}

}  // extern "C"
