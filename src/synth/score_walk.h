// The one walk over a rendering in time: the parts from the first one
// numbered startPart (0: from the first part) to the last, and in each part
// its events up to the zero-duration event that ends it (a replay walks the
// events of the part it names again). Each step says where the event starts
// in frames and in ticks and how many frames it lasts. The player's timeline
// and length, the sounding notes, the MIDI tempo map and the notated measures
// all walk with it, so they agree on every frame; the player's render loop
// steps through the events itself, but starts and times them with the helpers
// here.
//
// Header only and inline: the walks that run over every event of a long
// score (the timeline, the length) cost what the loop written out did.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

#include "compiler/score_image.h"
#include "synth/tables.h"

namespace quarvel {

// Frames of one slice at a tempo index. A tick lasts beatUnit slices.
inline std::uint32_t sliceFramesOf(const Tables& tables, int tempoIndex) {
    return 2u * tables.tempoTable[static_cast<std::size_t>(tempoIndex)];
}
inline std::uint32_t sliceFramesOf(const Tables& tables, const PartHeader& part) {
    return sliceFramesOf(tables, part.tempoIndex);
}

// Frames of one tick at a beat unit and tempo index.
inline std::uint64_t framesPerTickOf(const Tables& tables, int beatUnit, int tempoIndex) {
    return static_cast<std::uint64_t>(beatUnit) * sliceFramesOf(tables, tempoIndex);
}
inline std::uint64_t framesPerTickOf(const Tables& tables, const PartHeader& part) {
    return framesPerTickOf(tables, part.beatUnit, part.tempoIndex);
}

// The index of the first part that plays: the first one numbered startPart,
// or the first of all for 0; parts.size() when no part has that number.
inline std::size_t firstPlayedPart(const ScoreImage& image, int startPart) {
    for (std::size_t p = 0; p < image.parts.size(); ++p) {
        if (startPart == 0 || image.parts[p].number == startPart) return p;
    }
    return image.parts.size();
}

// One step of the walk: an event with a duration, in the part that plays it.
struct WalkedEvent {
    std::size_t partIndex = 0;  // into ScoreImage::parts
    const PartHeader* part = nullptr;
    std::size_t eventIndex = 0;  // into ScoreImage::events
    const ScoreEvent* event = nullptr;
    std::uint64_t startFrame = 0;     // from the start of the rendering
    std::uint64_t startTick = 0;      // score ticks from the start of the rendering
    std::uint64_t framesPerTick = 0;  // of the part
    std::uint64_t frames = 0;         // the event's: duration × framesPerTick
    bool firstOfPart = false;         // the first event of a part (parts without events have none)

    std::uint64_t endFrame() const { return startFrame + frames; }
    std::uint64_t endTick() const { return startTick + event->duration; }
};

// for (const WalkedEvent& at : ScoreWalk(image, tables, startPart)) ...
// The image and tables must outlive the walk.
class ScoreWalk {
  public:
    class Iterator {
      public:
        using value_type = WalkedEvent;
        using difference_type = std::ptrdiff_t;

        Iterator() = default;
        Iterator(const ScoreImage& image, const Tables& tables, std::size_t firstPart)
            : image_(&image), tables_(&tables) {
            at_.partIndex = firstPart;
            if (firstPart < image.parts.size()) {
                enterPart();
                settle();
            }
        }

        const WalkedEvent& operator*() const { return at_; }
        const WalkedEvent* operator->() const { return &at_; }
        Iterator& operator++() {
            at_.startFrame += at_.frames;
            at_.startTick += at_.event->duration;
            ++at_.eventIndex;
            at_.firstOfPart = false;
            settle();
            return *this;
        }
        void operator++(int) { ++*this; }
        bool operator==(std::default_sentinel_t) const { return at_.event == nullptr; }

      private:
        void enterPart() {
            at_.part = &image_->parts[at_.partIndex];
            at_.eventIndex = at_.part->events;
            at_.framesPerTick = framesPerTickOf(*tables_, *at_.part);
            at_.firstOfPart = true;
        }
        // From a zero-duration event on into the next part that has events;
        // past the last part the walk is at its end.
        void settle() {
            while (image_->events[at_.eventIndex].duration == 0) {
                if (++at_.partIndex >= image_->parts.size()) {
                    at_.event = nullptr;
                    return;
                }
                enterPart();
            }
            at_.event = &image_->events[at_.eventIndex];
            at_.frames = at_.event->duration * at_.framesPerTick;
        }

        const ScoreImage* image_ = nullptr;
        const Tables* tables_ = nullptr;
        WalkedEvent at_;
    };
    static_assert(std::input_iterator<Iterator>);

    ScoreWalk(const ScoreImage& image, const Tables& tables, int startPart)
        : image_(image), tables_(tables), firstPart_(firstPlayedPart(image, startPart)) {}

    Iterator begin() const { return Iterator(image_, tables_, firstPart_); }
    std::default_sentinel_t end() const { return {}; }

  private:
    const ScoreImage& image_;
    const Tables& tables_;
    std::size_t firstPart_;
};

// The length of the walk: its frames and ticks.
struct WalkLength {
    std::uint64_t frames = 0;
    std::uint64_t ticks = 0;
};

inline WalkLength walkLength(const ScoreImage& image, const Tables& tables, int startPart) {
    WalkLength length;
    for (const WalkedEvent& at : ScoreWalk(image, tables, startPart)) {
        length.frames += at.frames;
        length.ticks += at.event->duration;
    }
    return length;
}

}  // namespace quarvel
