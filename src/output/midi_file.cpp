#include "output/midi_file.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <map>
#include <optional>
#include <utility>

#include "notation/notated_score.h"
#include "output/staged_file.h"
#include "synth/sample_format.h"
#include "synth/score_walk.h"
#include "synth/sounding_notes.h"

namespace quarvel {

namespace {

// One part of the rendering in time: where it starts and how long its tick is.
struct TempoStretch {
    std::uint64_t startTick;
    std::uint64_t startFrame;
    std::uint64_t framesPerTick;
};

// Parts without events have no stretch: they take no time, and the part
// after them (or the end) starts at the same tick and frame.
std::vector<TempoStretch> tempoStretches(const CompiledScore& score, const Tables& tables,
                                         int startPart, std::uint64_t* totalTicks) {
    std::vector<TempoStretch> stretches;
    *totalTicks = 0;
    for (const WalkedEvent& at : ScoreWalk(score.image, tables, startPart)) {
        if (at.firstOfPart) stretches.push_back({at.startTick, at.startFrame, at.framesPerTick});
        *totalTicks = at.endTick();
    }
    return stretches;
}

// The tick a frame falls in (rounded down, or up for the end of a range).
std::uint64_t tickOfFrame(const std::vector<TempoStretch>& stretches, std::uint64_t totalTicks,
                          std::uint64_t frame, bool roundUp) {
    const auto after =
        std::upper_bound(stretches.begin(), stretches.end(), frame,
                         [](std::uint64_t f, const TempoStretch& s) { return f < s.startFrame; });
    if (after == stretches.begin()) return 0;
    const TempoStretch& s = *(after - 1);
    const std::uint64_t offset = frame - s.startFrame;
    const std::uint64_t ticks =
        offset / s.framesPerTick + (roundUp && offset % s.framesPerTick != 0 ? 1 : 0);
    return std::min(totalTicks, s.startTick + ticks);
}

std::uint32_t microsecondsPerQuarter(std::uint64_t framesPerTick) {
    const double exact = static_cast<double>(framesPerTick * kMidiDivision) * 1e6 / kFrameRate;
    return static_cast<std::uint32_t>(std::llround(exact));
}

// A channel event or a meta event at a tick. At the same tick, note-offs go
// first, then tempo and program changes, then note-ons.
struct TimedEvent {
    std::uint64_t tick;
    int order;
    std::vector<std::uint8_t> bytes;
};

void putVariable(std::vector<std::uint8_t>& out, std::uint64_t value) {
    std::uint8_t groups[10];
    int count = 0;
    do {
        groups[count++] = static_cast<std::uint8_t>(value & 0x7F);
        value >>= 7;
    } while (value != 0);
    while (count > 1) out.push_back(static_cast<std::uint8_t>(groups[--count] | 0x80));
    out.push_back(groups[0]);
}

void putBig(std::vector<std::uint8_t>& out, std::uint32_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::vector<std::uint8_t> metaText(std::uint8_t type, const std::string& text) {
    std::vector<std::uint8_t> bytes{0xFF, type};
    putVariable(bytes, text.size());
    bytes.insert(bytes.end(), text.begin(), text.end());
    return bytes;
}

void putTrack(std::vector<std::uint8_t>& file, std::vector<TimedEvent> events,
              std::uint64_t endTick) {
    std::stable_sort(events.begin(), events.end(), [](const TimedEvent& a, const TimedEvent& b) {
        return a.tick != b.tick ? a.tick < b.tick : a.order < b.order;
    });
    std::vector<std::uint8_t> track;
    std::uint64_t now = 0;
    for (const TimedEvent& event : events) {
        putVariable(track, event.tick - now);
        now = event.tick;
        track.insert(track.end(), event.bytes.begin(), event.bytes.end());
    }
    putVariable(track, std::max(endTick, now) - now);
    track.insert(track.end(), {0xFF, 0x2F, 0x00});  // end of track
    file.insert(file.end(), {'M', 'T', 'r', 'k'});
    putBig(file, static_cast<std::uint32_t>(track.size()), 4);
    file.insert(file.end(), track.begin(), track.end());
}

struct MidiNote {
    int voice;
    int channel;
    int key;
    int velocity;
    int program;  // -1 on the percussion channel
    std::uint64_t start;
    std::uint64_t end;
};

}  // namespace

int midiVelocityOf(int level) {
    const double share = kDecayTable[static_cast<std::size_t>(level & 0xFF)] / 255.0;
    if (share <= 0) return 0;
    return std::clamp(static_cast<int>(std::lround(127 * std::sqrt(share))), 1, 127);
}

namespace {

// The ticks of the rendering the file holds, and the tempo of each part.
struct TickRange {
    std::vector<TempoStretch> stretches;
    std::uint64_t totalTicks = 0;
    std::uint64_t first = 0;
    std::uint64_t end = 0;
};

// The notes inside the range, in order of start, from the file's first tick.
std::vector<MidiNote> notesInRange(const CompiledScore& score, const Tables& tables, int startPart,
                                   const TickRange& ticks) {
    std::vector<MidiNote> notes;
    for (const SoundingNote& n : soundingNotes(score, tables, startPart)) {
        const int velocity = midiVelocityOf(n.level);
        if (velocity == 0) continue;  // a silent level never sounds
        const std::uint64_t start = std::max(n.startTick, ticks.first);
        const std::uint64_t end = std::min(n.startTick + n.ticks, ticks.end);
        if (start >= end) continue;
        const bool noise = n.note >= 73;
        notes.push_back({n.voice, noise ? kPercussionChannel : n.voice,
                         noise ? drumKeyOf(n.note) : midiKeyOf(n.note), velocity,
                         noise ? -1 : kInstrumentPrograms[n.instrument], start - ticks.first,
                         end - ticks.first});
    }
    std::stable_sort(notes.begin(), notes.end(),
                     [](const MidiNote& a, const MidiNote& b) { return a.start < b.start; });
    return notes;
}

// A key of a channel holds one note at a time, so that every note-off ends
// the note it belongs to: a note still on when the same key starts again
// (two voices on one drum) ends there; two that start together are one (the
// other is left without length).
void oneNoteAKey(std::vector<MidiNote>& notes) {
    std::map<std::pair<int, int>, std::size_t> sounding;
    for (std::size_t i = 0; i < notes.size(); ++i) {
        const auto [at, fresh] = sounding.try_emplace({notes[i].channel, notes[i].key}, i);
        if (fresh) continue;
        MidiNote& before = notes[at->second];
        if (before.end > notes[i].start) {
            if (before.start == notes[i].start) {
                before.end = std::max(before.end, notes[i].end);
                notes[i].end = notes[i].start;
                continue;
            }
            before.end = notes[i].start;
        }
        at->second = i;
    }
}

// One track a voice for its pitched notes, and one for the drums of every
// voice: the percussion channel is shared, so its note-offs and note-ons
// are put in order in one track (a reader merging tracks keeps that).
constexpr std::size_t kDrumTrack = kVoices;
using NoteTracks = std::array<std::vector<TimedEvent>, kVoices + 1>;

NoteTracks noteTracks(const std::vector<MidiNote>& notes) {
    NoteTracks tracks;
    std::array<int, kVoices> programs;
    programs.fill(-1);
    for (const MidiNote& n : notes) {
        if (n.end <= n.start) continue;
        auto& track = tracks[n.channel == kPercussionChannel ? kDrumTrack
                                                             : static_cast<std::size_t>(n.voice)];
        const auto channel = static_cast<std::uint8_t>(n.channel);
        const auto key = static_cast<std::uint8_t>(n.key);
        if (n.program >= 0 && programs[static_cast<std::size_t>(n.voice)] != n.program) {
            // A program change where the channel's instrument changes.
            programs[static_cast<std::size_t>(n.voice)] = n.program;
            track.push_back({n.start,
                             1,
                             {static_cast<std::uint8_t>(0xC0 | channel),
                              static_cast<std::uint8_t>(n.program)}});
        }
        track.push_back({n.start,
                         2,
                         {static_cast<std::uint8_t>(0x90 | channel), key,
                          static_cast<std::uint8_t>(n.velocity)}});
        track.push_back({n.end, 0, {static_cast<std::uint8_t>(0x80 | channel), key, 64}});
    }
    return tracks;
}

// The conductor: the title, the tempo in force from the range's start and
// where it changes, and the time and key signatures as the notation has them
// (one meter and key for every reader of the score), where they change and at
// the range's start. Repeats written out: every pass has its own place in time.
std::vector<TimedEvent> conductorTrack(const CompiledScore& score, const Tables& tables,
                                       int startPart, const std::string& title,
                                       const TickRange& ticks) {
    std::vector<TimedEvent> conductor{{0, 1, metaText(0x03, title)}};
    std::optional<std::uint32_t> tempo;
    const auto& stretches = ticks.stretches;
    for (std::size_t i = 0; i < stretches.size(); ++i) {
        const std::uint64_t partEnd =
            i + 1 < stretches.size() ? stretches[i + 1].startTick : ticks.totalTicks;
        // Parts wholly before the range, after it, or without ticks set no tempo.
        if (partEnd <= ticks.first || stretches[i].startTick >= ticks.end) continue;
        if (partEnd == stretches[i].startTick) continue;
        const std::uint32_t us = microsecondsPerQuarter(stretches[i].framesPerTick);
        if (tempo == us) continue;
        tempo = us;
        const std::uint64_t at = std::max(stretches[i].startTick, ticks.first) - ticks.first;
        std::vector<std::uint8_t> bytes{0xFF, 0x51, 0x03};
        putBig(bytes, us, 3);
        conductor.push_back({at, 1, std::move(bytes)});
    }
    std::optional<TimeSignature> meter;
    std::optional<int> key;
    for (const NotatedMeasure& m : measureLayout(score, tables, startPart)) {
        if (m.startTick + m.ticks <= ticks.first || m.startTick >= ticks.end || m.ticks == 0) {
            continue;
        }
        const std::uint64_t at = std::max(m.startTick, ticks.first) - ticks.first;
        if (!m.meter.senzaMisura && m.meter.beats <= 255 && meter != m.meter) {
            meter = m.meter;
            const auto power = static_cast<std::uint8_t>(std::countr_zero(m.meter.beatType));
            const auto clocks = static_cast<std::uint8_t>(96u / m.meter.beatType);
            conductor.push_back(
                {at,
                 1,
                 {0xFF, 0x58, 0x04, static_cast<std::uint8_t>(m.meter.beats), power, clocks, 8}});
        }
        if (key != std::clamp(m.fifths, -7, 7)) {
            key = std::clamp(m.fifths, -7, 7);
            conductor.push_back(
                {at, 1, {0xFF, 0x59, 0x02, static_cast<std::uint8_t>(*key), 0}});  // major
        }
    }
    return conductor;
}

}  // namespace

std::vector<std::uint8_t> midiFileBytes(const CompiledScore& score, const Tables& tables,
                                        int startPart, const std::string& title,
                                        ExportRange range) {
    TickRange ticks;
    ticks.stretches = tempoStretches(score, tables, startPart, &ticks.totalTicks);
    ticks.first = tickOfFrame(ticks.stretches, ticks.totalTicks, range.first, false);
    ticks.end =
        std::max(ticks.first, tickOfFrame(ticks.stretches, ticks.totalTicks, range.end, true));

    std::vector<MidiNote> notes = notesInRange(score, tables, startPart, ticks);
    oneNoteAKey(notes);
    NoteTracks tracks = noteTracks(notes);

    std::vector<std::uint8_t> file{'M', 'T', 'h', 'd'};
    putBig(file, 6, 4);
    putBig(file, 1, 2);  // type 1
    int trackCount = 1;
    for (const auto& track : tracks) trackCount += track.empty() ? 0 : 1;
    putBig(file, static_cast<std::uint32_t>(trackCount), 2);
    putBig(file, kMidiDivision, 2);
    const std::uint64_t length = ticks.end - ticks.first;
    putTrack(file, conductorTrack(score, tables, startPart, title, ticks), length);
    for (std::size_t t = 0; t < tracks.size(); ++t) {
        auto& track = tracks[t];
        if (track.empty()) continue;
        const std::string name = t == kDrumTrack ? "Drums" : "Voice " + std::to_string(t + 1);
        track.insert(track.begin(), {0, -1, metaText(0x03, name)});
        putTrack(file, std::move(track), length);
    }
    return file;
}

void writeMidiFile(const std::string& path, const CompiledScore& score, const Tables& tables,
                   int startPart, const std::string& title, ExportRange range) {
    const auto bytes = midiFileBytes(score, tables, startPart, title, range);
    writeFileWhole(path, bytes.data(), bytes.size());
}

}  // namespace quarvel
