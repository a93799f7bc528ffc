#include "synth/player.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "synth/score_walk.h"

namespace quarvel {

std::uint64_t renderedFrames(const CompiledScore& score, const Tables& tables, int startPart) {
    return walkLength(score.image, tables, startPart).frames;
}

// ---------------------------------------------------------------- Timeline

Timeline::Timeline(const CompiledScore& score, const Tables& tables, int startPart)
    : score_(score), firstPart_(firstPlayedPart(score.image, startPart)) {
    const ScoreImage& image = score.image;
    const SourceMap& map = score.sourceMap;
    // A replay's events are those of the first part that begins with them.
    soundingNumbers_.reserve(image.parts.size());
    std::unordered_map<std::size_t, std::uint8_t> firstAt;
    for (const PartHeader& part : image.parts) {
        soundingNumbers_.push_back(firstAt.try_emplace(part.events, part.number).first->second);
    }
    std::optional<std::size_t> bar;
    for (const WalkedEvent& at : ScoreWalk(image, tables, startPart)) {
        const std::size_t e = at.eventIndex;
        // Events of one bar follow each other: look a bar up only when it ends.
        if (!bar || e < map.bars[*bar].firstEvent ||
            e >= map.bars[*bar].firstEvent + map.bars[*bar].eventCount) {
            bar = map.barOfEvent(e);
        }
        const auto index =
            bar ? std::optional<std::uint32_t>(static_cast<std::uint32_t>(*bar)) : std::nullopt;
        if (at.firstOfPart || stretches_.back().bar != index) {
            stretches_.push_back({at.startFrame, static_cast<std::uint32_t>(at.partIndex), index});
        }
        total_ = at.endFrame();
    }
}

std::optional<Position> Timeline::at(std::uint64_t frame) const {
    if (stretches_.empty()) return std::nullopt;
    auto after = std::upper_bound(
        stretches_.begin(), stretches_.end(), frame,
        [](std::uint64_t f, const Stretch& stretch) { return f < stretch.startFrame; });
    const Stretch& stretch = *(after == stretches_.begin() ? after : after - 1);
    Position position;
    position.partIndex = stretch.partIndex;
    position.partNumber = score_.image.parts[stretch.partIndex].number;
    position.soundingPartNumber = soundingNumbers_[stretch.partIndex];
    if (stretch.bar) position.bar = *stretch.bar;
    position.barStartFrame = stretch.startFrame;
    return position;
}

std::optional<std::uint64_t> Timeline::startOfBar(std::size_t bar) const {
    for (const Stretch& stretch : stretches_) {
        if (stretch.bar && *stretch.bar == bar) return stretch.startFrame;
    }
    return std::nullopt;
}

std::optional<std::uint64_t> Timeline::startOfPart(int number) const {
    // A part without events has no stretch: it starts where the next one does
    // (or at the end), also when it comes before every part that sounds.
    const auto& parts = score_.image.parts;
    std::size_t s = 0;
    for (std::size_t p = firstPart_; p < parts.size(); ++p) {
        while (s < stretches_.size() && stretches_[s].partIndex < p) ++s;
        if (parts[p].number == number) {
            return s < stretches_.size() ? stretches_[s].startFrame : total_;
        }
    }
    return std::nullopt;
}

// ---------------------------------------------------------------- Player

// Wave rows premultiplied by the amplitude of an envelope level, built the
// first time an (instrument, level) pair sounds. Within a run of frames only
// the phases change, so the frame loop is five lookups and two sums.
class Player::ScaledWaves {
  public:
    explicit ScaledWaves(const Tables& tables)
        : tables_(tables), rows_(kVoices * 256 * kWaveLength), state_(kVoices * 256, 0) {}

    struct Row {
        const std::int16_t* samples;
        bool flat;  // one value 256 times (silence, or a flat wave)
    };

    Row row(int instrument, int level) {
        const std::size_t key = static_cast<std::size_t>(instrument) * 256 + level;
        std::int16_t* samples = &rows_[key * kWaveLength];
        if (state_[key] == 0) {
            const std::int32_t amplitude = kDecayTable[level];
            const auto& wave = tables_.waveTables[instrument];
            bool flat = true;
            for (int j = 0; j < kWaveLength; ++j) {
                samples[j] = static_cast<std::int16_t>(wave[j] * amplitude);
                flat = flat && samples[j] == samples[0];
            }
            state_[key] = flat ? 2 : 1;
        }
        return {samples, state_[key] == 2};
    }

  private:
    const Tables& tables_;
    std::vector<std::int16_t> rows_;
    std::vector<std::uint8_t> state_;  // 0 not built, 1 built, 2 built and flat
};

Player::Player(const CompiledScore& score, const Tables& tables, int startPart, MixKernel kernel)
    : score_(score),
      tables_(tables),
      kernel_(kernel),
      startPart_(startPart),
      waves_(std::make_unique<ScaledWaves>(tables)) {
    firstPart_ = firstPlayedPart(score.image, startPart);
    restart();
}

Player::~Player() = default;

void Player::restart() {
    aheadCount_ = 0;
    mix_ = MixState{};
    level_ = score_.envelopeLevel;
    frame_ = 0;
    runFramesLeft_ = 0;
    runSlices_ = 0;
    slicesLeft_ = 0;
    inEvent_ = false;
    part_ = firstPart_;
    ended_ = part_ >= score_.image.parts.size();
    if (!ended_) {
        const PartHeader& part = score_.image.parts[part_];
        event_ = part.events;
        decayCounter_ = part.decayRate;
        sliceFrames_ = static_cast<int>(sliceFramesOf(tables_, part));
    }
}

// Moves on to the next event with sound, into the next parts where needed,
// and puts its pitches and envelope levels in force. False at the end.
bool Player::enterNextEvent() {
    if (ended_) return false;
    const ScoreImage& image = score_.image;
    if (inEvent_) ++event_;
    inEvent_ = false;
    while (image.events[event_].duration == 0) {
        if (++part_ >= image.parts.size()) {
            ended_ = true;
            return false;
        }
        const PartHeader& part = image.parts[part_];
        event_ = part.events;
        decayCounter_ = part.decayRate;
        sliceFrames_ = static_cast<int>(sliceFramesOf(tables_, part));
    }
    const ScoreEvent& event = image.events[event_];
    for (int s = 0; s < kVoices; ++s) {
        mix_.step[s] = static_cast<std::uint16_t>(tables_.pitchTable[event.note[s]] / 2);
        if (event.envelope[s] != 0) level_[s] = event.envelope[s];
    }
    slicesLeft_ = image.parts[part_].beatUnit * event.duration;
    inEvent_ = true;
    return true;
}

// Slices between two envelope steps sound the same rows: one run of frames.
bool Player::startRun() {
    if (slicesLeft_ == 0 && !enterNextEvent()) return false;
    runSlices_ = decayCounter_ == 0 ? slicesLeft_ : std::min<int>(slicesLeft_, decayCounter_);
    runFramesLeft_ = static_cast<std::uint64_t>(runSlices_) * sliceFrames_;
    return true;
}

void Player::finishRun() {
    slicesLeft_ -= runSlices_;
    if (decayCounter_ != 0) {
        decayCounter_ = static_cast<std::uint8_t>(decayCounter_ - runSlices_);
        if (decayCounter_ == 0) {
            decayCounter_ = score_.image.parts[part_].decayRate;
            stepEnvelopes();
        }
    }
}

void Player::stepEnvelopes() {
    for (auto& level : level_) {
        level = static_cast<std::uint8_t>(level + 2);
        if (level == 0) level = 254;
    }
}

std::size_t Player::render(std::uint32_t* out, std::size_t frames) {
    constexpr std::size_t kLargestCall = 1u << 20;
    std::size_t written = 0;
    // Frames made ahead for an earlier small request come first.
    if (aheadCount_ > 0 && frames > 0) {
        written = std::min(frames, aheadCount_);
        std::memcpy(out, ahead_.data() + aheadStart_, written * sizeof *out);
        aheadStart_ += written;
        aheadCount_ -= written;
        frame_ += written;
    }
    while (written < frames) {
        if (runFramesLeft_ == 0) {
            if (!startRun()) break;
            loadRows();
        }
        const std::size_t want = frames - written;
        if (want < kAhead && runFramesLeft_ > want) {
            // A small request inside a longer run (an audio callback's 128
            // frames): make a batch at once, so that the frame loop's setup
            // is paid once for several requests, and keep the rest.
            const auto batch =
                static_cast<std::size_t>(std::min<std::uint64_t>(kAhead, runFramesLeft_));
            kernel_(ahead_.data(), static_cast<int>(batch), mix_);
            runFramesLeft_ -= batch;
            std::memcpy(out + written, ahead_.data(), want * sizeof *out);
            aheadStart_ = want;
            aheadCount_ = batch - want;
            written += want;
            frame_ += want;
            if (runFramesLeft_ == 0) finishRun();
            break;
        }
        const std::size_t count =
            std::min({want, static_cast<std::size_t>(runFramesLeft_), kLargestCall});
        kernel_(out + written, static_cast<int>(count), mix_);
        written += count;
        frame_ += count;
        runFramesLeft_ -= count;
        if (runFramesLeft_ == 0) finishRun();
    }
    return written;
}

bool Player::atEnd() const {
    return frame_ >= totalFrames();
}

std::uint64_t Player::totalFrames() const {
    if (!total_)
        total_ = timeline_ ? timeline_->totalFrames() : renderedFrames(score_, tables_, startPart_);
    return *total_;
}

std::optional<Position> Player::position() const {
    if (atEnd()) return std::nullopt;
    return timeline().at(frame_);
}

const Timeline& Player::timeline() const {
    if (!timeline_) timeline_ = std::make_unique<Timeline>(score_, tables_, startPart_);
    return *timeline_;
}

// Fast-forward: every run is accounted for as the renderer would, but the
// phases are moved by step × frames at once instead of frame by frame.
void Player::seekFrame(std::uint64_t target) {
    restart();
    const auto advance = [this](std::uint64_t frames) {
        const auto times = static_cast<std::uint32_t>(frames & 0xFFFF);
        for (int s = 0; s < kVoices; ++s) {
            mix_.phase[s] = static_cast<std::uint16_t>(mix_.phase[s] + mix_.step[s] * times);
        }
    };
    while (frame_ < target) {
        if (runFramesLeft_ == 0 && !startRun()) break;
        if (frame_ + runFramesLeft_ <= target) {
            advance(runFramesLeft_);
            frame_ += runFramesLeft_;
            runFramesLeft_ = 0;
            finishRun();
        } else {
            const std::uint64_t part = target - frame_;
            advance(part);
            frame_ = target;
            runFramesLeft_ -= part;
        }
    }
    if (runFramesLeft_ > 0) loadRows();
}

// The rows of the run about to sound: each slot's instrument at its level.
void Player::loadRows() {
    const PartHeader& part = score_.image.parts[part_];
    for (int s = 0; s < kVoices; ++s) {
        const auto row = waves_->row(part.slotInstrument[s], level_[s]);
        mix_.row[s] = row.samples;
        mix_.flat[s] = row.flat;
    }
}

bool Player::seekBar(std::size_t bar) {
    const auto start = timeline().startOfBar(bar);
    if (!start) return false;
    seekFrame(*start);
    return true;
}

bool Player::seekPart(int number) {
    const auto start = timeline().startOfPart(number);
    if (!start) return false;
    seekFrame(*start);
    return true;
}

}  // namespace quarvel
