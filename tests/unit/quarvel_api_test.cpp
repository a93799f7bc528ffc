// The C API: the frames and numbers the program has, clean answers to
// misuse, lifetimes, and players on two threads.
#include <gtest/gtest.h>

#include <climits>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "compiler/score_compiler.h"
#include "notation/musicxml.h"
#include "quarvel.h"
#include "support/reference_renderer.h"

namespace quarvel {
namespace {

// While set, every allocation on this thread fails: memory short inside the
// library, on demand (the operator new below).
thread_local bool starved = false;

}  // namespace
}  // namespace quarvel

// Every plain form of new and delete, so that each pair meets (the sanitizer
// checks it); not inlined, or GCC takes the free() behind a new for a mismatch.
void* operator new(std::size_t size) {
    if (quarvel::starved) throw std::bad_alloc();
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return ::operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return ::operator new(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& nothrow) noexcept {
    return ::operator new(size, nothrow);
}
[[gnu::noinline]] void operator delete(void* p) noexcept {
    std::free(p);
}
[[gnu::noinline]] void operator delete[](void* p) noexcept {
    std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
[[gnu::noinline]] void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}
[[gnu::noinline]] void operator delete[](void* p, const std::nothrow_t&) noexcept {
    std::free(p);
}

namespace quarvel {
namespace {

const std::string kScore = "JAT3 V1 Q 1 3 5 8 M V2 H -3 -5 V1 Q 8 5 3 1 M P01 W 7 R01 P02 H 1\n";

quarvel_score* compile(const std::string& text, int dialect = QUARVEL_DIALECT_COMBINED) {
    quarvel_diagnostic error{};
    quarvel_score* score = quarvel_compile(text.data(), text.size(), dialect, &error);
    EXPECT_NE(score, nullptr) << error.message;
    return score;
}

std::vector<int16_t> renderAll(quarvel_player* player, std::size_t chunk) {
    std::vector<int16_t> all;
    std::vector<int16_t> buffer(2 * chunk);
    for (std::size_t n; (n = quarvel_player_render(player, buffer.data(), chunk)) > 0;) {
        all.insert(all.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(2 * n));
    }
    return all;
}

TEST(CApi, RendersTheReferenceFramesFromEveryStartPart) {
    const CompiledScore compiled = compileScore(SourceText(kScore), Dialect::combined);
    const Tables tables = buildTables(compiled.instruments);
    quarvel_score* score = compile(kScore);
    for (int start : {0, 1, 2, 7}) {
        const ReferenceRender expected = referenceRender(compiled, tables, start);
        std::vector<int16_t> samples(2 * expected.frames.size());
        if (!samples.empty())
            std::memcpy(samples.data(), expected.frames.data(), 2 * samples.size());
        quarvel_player* player = quarvel_player_new(score, start);
        EXPECT_EQ(quarvel_score_total_frames(score, start), expected.frames.size());
        EXPECT_EQ(renderAll(player, 1000), samples) << "start part " << start;
        quarvel_player_free(player);
    }
    quarvel_score_free(score);
}

TEST(CApi, CompileErrorsCarryTheProgramsNumbersAndPlaces) {
    struct Case {
        const char* text;
        int number, line, column;
    } const cases[] = {
        {"Q1 2\n3 VG", 2, 2, 4},
        {"Q1\n\n  V6", 3, 3, 4},
        {"R05", 4, 1, 3},
        {"W. 1", 6, 1, 3},
        // At the end of the text the reader has passed the line end it appends.
        {"W.", 6, 2, 0},
    };
    for (const Case& c : cases) {
        quarvel_diagnostic error{};
        EXPECT_EQ(quarvel_compile(c.text, std::strlen(c.text), QUARVEL_DIALECT_COMBINED, &error),
                  nullptr);
        EXPECT_EQ(error.number, c.number) << c.text;
        EXPECT_EQ(error.line, c.line) << c.text;
        EXPECT_EQ(error.column, c.column) << c.text;
        EXPECT_NE(error.message[0], '\0');
    }
}

TEST(CApi, MisuseAnswersCleanly) {
    quarvel_diagnostic error{};
    EXPECT_EQ(quarvel_compile(nullptr, 3, 0, &error), nullptr);
    EXPECT_EQ(error.number, QUARVEL_ERROR_ARGUMENT);
    EXPECT_EQ(quarvel_compile("Q1", 2, 7, nullptr), nullptr);
    quarvel_score* empty = quarvel_compile(nullptr, 0, 0, nullptr);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(quarvel_score_total_frames(empty, 0), 0u);
    quarvel_score_free(empty);

    int16_t samples[8];
    quarvel_position position{};
    quarvel_bar bar{};
    EXPECT_EQ(quarvel_player_new(nullptr, 0), nullptr);
    EXPECT_EQ(quarvel_player_render(nullptr, samples, 4), 0u);
    EXPECT_EQ(quarvel_player_render_float(nullptr, nullptr, 4), 0u);
    EXPECT_EQ(quarvel_player_position(nullptr, &position), QUARVEL_EINVAL);
    EXPECT_EQ(quarvel_player_seek_bar(nullptr, 1), QUARVEL_EINVAL);
    EXPECT_EQ(quarvel_score_bar(nullptr, 1, &bar), QUARVEL_EINVAL);
    EXPECT_EQ(quarvel_score_bar_count(nullptr), 0);
    EXPECT_EQ(quarvel_score_notes(nullptr, 0, nullptr, 0), 0u);
    EXPECT_EQ(quarvel_score_musicxml(nullptr, 0, nullptr, 0), 0u);
    quarvel_score_free(nullptr);
    quarvel_player_free(nullptr);

    quarvel_score* score = compile(kScore);
    quarvel_player* player = quarvel_player_new(score, 0);
    EXPECT_EQ(quarvel_player_render(player, nullptr, 4), 0u);
    EXPECT_EQ(quarvel_player_render(player, samples, 0), 0u);
    EXPECT_EQ(quarvel_player_position(player, nullptr), QUARVEL_EINVAL);
    EXPECT_EQ(quarvel_player_seek_bar(player, 0), QUARVEL_ENOTFOUND);
    EXPECT_EQ(quarvel_player_seek_bar(player, 99), QUARVEL_ENOTFOUND);
    EXPECT_EQ(quarvel_player_seek_part(player, 0x33), QUARVEL_ENOTFOUND);
    // Part numbers are bytes: -1 is not part FF, nor 256 part 00.
    quarvel_diagnostic warning{};
    for (const int part : {-1, 256, INT_MIN, INT_MAX}) {
        SCOPED_TRACE(part);
        EXPECT_EQ(quarvel_player_new(score, part), nullptr);
        EXPECT_EQ(quarvel_score_start_part_warning(score, part, &warning), QUARVEL_EINVAL);
        EXPECT_EQ(quarvel_player_seek_part(player, part), QUARVEL_EINVAL);
    }
    EXPECT_EQ(quarvel_score_bar(score, 0, &bar), QUARVEL_ENOTFOUND);
    EXPECT_EQ(quarvel_score_musicxml(score, 0, nullptr, 10), 0u);
    // Past the end: nothing more, however often asked.
    EXPECT_EQ(quarvel_player_seek_frame(player, UINT64_MAX), QUARVEL_OK);
    EXPECT_EQ(quarvel_player_render(player, samples, 4), 0u);
    EXPECT_EQ(quarvel_player_render(player, samples, 4), 0u);
    ASSERT_EQ(quarvel_player_position(player, &position), QUARVEL_OK);
    EXPECT_EQ(position.frame, position.total_frames);
    EXPECT_EQ(position.bar, 0);
    quarvel_player_free(player);
    quarvel_score_free(score);
}

TEST(CApi, BarAtPlacesOfTheText) {
    // Bars 1 and 2 on lines 2 and 3, bars 3 and 4 both on line 5.
    quarvel_score* score = compile("/ a comment\nQ 0 1 M\nI 2 3 4 M\n\nH 5 M Q 6 M\n");
    const struct {
        int line, column, bar;
    } cases[] = {
        {2, 3, 1},   {3, 1, 2},   {5, 3, 3},       {5, 7, 4},  // inside a bar, before a bar
        {1, 999, 1}, {1, 12, 1},                               // a line of no bar: the next bar
        {2, 999, 1}, {2, 8, 1},                                // at or past the end: the line's bar
        {4, 999, 3}, {5, 999, 4}, {5, 1 << 30, 4},             // an empty line; the line's last bar
        {6, 1, 0},   {9, 1, 0},                                // after the music
    };
    for (const auto& c : cases) {
        EXPECT_EQ(quarvel_score_bar_at(score, c.line, c.column), c.bar)
            << c.line << ":" << c.column;
    }
    quarvel_score_free(score);
}

TEST(CApi, PositionsBarsSeeksAndFloats) {
    quarvel_score* score = compile(kScore);
    // Bars: two bar lines, part 1's whole note, part 2's half note; the
    // replay and the empty closes make none.
    ASSERT_EQ(quarvel_score_bar_count(score), 4);
    quarvel_bar bar{};
    ASSERT_EQ(quarvel_score_bar(score, 2, &bar), QUARVEL_OK);
    EXPECT_EQ(bar.first_line, 1);
    EXPECT_EQ(bar.first_column, std::string(kScore).find("-3") + 1);
    EXPECT_EQ(bar.last_column, std::string(kScore).find(" M P01") - 1 + 1);
    EXPECT_EQ(bar.ticks, 192u);
    EXPECT_EQ(quarvel_score_bar_at(score, 1, bar.first_column + 1), 2);

    quarvel_player* whole = quarvel_player_new(score, 0);
    const std::vector<int16_t> all = renderAll(whole, 4096);
    quarvel_player* player = quarvel_player_new(score, 0);
    quarvel_score_free(score);  // the players keep it
    // Bar 3 (part 1's whole note) sounds twice: the seek goes to its first pass.
    ASSERT_EQ(quarvel_player_seek_bar(player, 3), QUARVEL_OK);
    quarvel_position position{};
    ASSERT_EQ(quarvel_player_position(player, &position), QUARVEL_OK);
    EXPECT_EQ(position.bar, 3);
    EXPECT_EQ(position.part, 1);
    EXPECT_EQ(position.bar_start_frame, position.frame);
    std::vector<float> floats(2 * 500);
    ASSERT_EQ(quarvel_player_render_float(player, floats.data(), 500), 500u);
    for (std::size_t i = 0; i < floats.size(); ++i) {
        ASSERT_EQ(floats[i], static_cast<float>(all[2 * position.frame + i]) / 32768.0f);
    }
    ASSERT_EQ(quarvel_player_seek_part(player, 2), QUARVEL_OK);
    ASSERT_EQ(quarvel_player_position(player, &position), QUARVEL_OK);
    EXPECT_EQ(position.part, 2);
    EXPECT_EQ(position.bar, 4);
    quarvel_player_free(player);
    quarvel_player_free(whole);

    // Part 0 is the start, as for quarvel_player_new, also when every part
    // that sounds has a number.
    quarvel_score* numbered = compile("P01 Q1 M P02 Q2 M");
    quarvel_player* from2 = quarvel_player_new(numbered, 2);
    quarvel_player* at = quarvel_player_new(numbered, 0);
    ASSERT_EQ(quarvel_player_seek_part(at, 2), QUARVEL_OK);
    ASSERT_EQ(quarvel_player_seek_part(at, 0), QUARVEL_OK);
    ASSERT_EQ(quarvel_player_position(at, &position), QUARVEL_OK);
    EXPECT_EQ((std::pair{position.frame, position.part}), (std::pair{std::uint64_t{0}, 1}));
    ASSERT_EQ(quarvel_player_seek_part(from2, 0), QUARVEL_OK);
    ASSERT_EQ(quarvel_player_position(from2, &position), QUARVEL_OK);
    EXPECT_EQ((std::pair{position.frame, position.part}), (std::pair{std::uint64_t{0}, 2}));
    quarvel_player_free(at);
    quarvel_player_free(from2);
    quarvel_score_free(numbered);
}

TEST(CApi, PlayersOnTwoThreadsRenderIndependently) {
    quarvel_score* score = compile(kScore);
    quarvel_player* first = quarvel_player_new(score, 0);
    const std::vector<int16_t> expected = renderAll(first, 4096);
    quarvel_player_free(first);
    std::vector<int16_t> results[2];
    std::thread threads[2];
    for (int t = 0; t < 2; ++t) {
        threads[t] = std::thread([&, t] {
            quarvel_player* player = quarvel_player_new(score, 0);
            results[t] = renderAll(player, t == 0 ? 128 : 777);
            quarvel_player_free(player);
        });
    }
    for (auto& thread : threads) thread.join();
    quarvel_score_free(score);
    EXPECT_EQ(results[0], expected);
    EXPECT_EQ(results[1], expected);
}

TEST(CApi, NotesAsTheySound) {
    quarvel_score* score = compile("V1 Q 1 3 3 M V2 H _ 5\n");
    const std::size_t count = quarvel_score_notes(score, 0, nullptr, 0);
    std::vector<quarvel_note> notes(count);
    ASSERT_EQ(quarvel_score_notes(score, 0, notes.data(), count), count);
    // "3 3" holds one note: the same pitch is not attacked again.
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(notes[0].note, 39);
    EXPECT_EQ(notes[1].note, 42);
    EXPECT_EQ(notes[1].frames, 2 * notes[0].frames);
    EXPECT_EQ(notes[2].voice, 2);
    EXPECT_EQ(notes[2].note, 73 + 5);
    EXPECT_EQ(notes[2].line, 1);
    EXPECT_EQ(notes[2].column, 21);
    EXPECT_EQ(notes[2].bar, 2);
    quarvel_score_free(score);
}

// Short of memory, the notes say so with an answer no count can be, and
// leave the caller's array as it was; a score without notes still answers 0.
TEST(CApi, NotesTellShortMemoryFromNoNotes) {
    quarvel_score* score = compile(kScore);
    quarvel_score* silent = compile("V1 Q $ $ M\n");
    EXPECT_EQ(quarvel_score_notes(silent, 0, nullptr, 0), 0u);
    const std::size_t count = quarvel_score_notes(score, 0, nullptr, 0);
    ASSERT_GT(count, 0u);
    ASSERT_NE(count, QUARVEL_NOTES_ENOMEM);
    quarvel_note marker{};
    marker.voice = 77;
    for (const int start : {0, 1, 2}) {
        for (const std::size_t capacity : {std::size_t{0}, std::size_t{1}, count}) {
            SCOPED_TRACE(testing::Message() << "start part " << start << ", room for " << capacity);
            std::vector<quarvel_note> notes(capacity + 1, marker);
            starved = true;
            const std::size_t got = quarvel_score_notes(score, start, notes.data(), capacity);
            starved = false;
            EXPECT_EQ(got, QUARVEL_NOTES_ENOMEM);
            for (const quarvel_note& note : notes) EXPECT_EQ(note.voice, 77);
            // With the memory back, the same call answers the count.
            EXPECT_EQ(quarvel_score_notes(score, start, notes.data(), capacity),
                      quarvel_score_notes(score, start, nullptr, 0));
        }
    }
    quarvel_score_free(silent);
    quarvel_score_free(score);
}

// The same bytes as the program writes, measured, whole and cut short, from
// every start part.
TEST(CApi, MusicXmlOfTheScore) {
    const CompiledScore compiled =
        compileScore(SourceText(kScore), Dialect::combined, CompileOptions{.keepNotes = true});
    const Tables tables = buildTables(compiled.instruments);
    quarvel_score* score = compile(kScore);
    for (int start : {0, 1, 2}) {
        const std::string expected =
            scoreMusicXml(compiled, tables, "", NotationOptions{.startPart = start});
        const std::size_t length = quarvel_score_musicxml(score, start, nullptr, 0);
        ASSERT_EQ(length, expected.size());
        std::string whole(length, '\0');
        EXPECT_EQ(quarvel_score_musicxml(score, start, whole.data(), length), length);
        EXPECT_EQ(whole, expected);
        std::string part(10, '#');
        part.push_back('!');
        EXPECT_EQ(quarvel_score_musicxml(score, start, part.data(), 10), length);
        EXPECT_EQ(part, expected.substr(0, 10) + "!");
    }
    EXPECT_NE(quarvel_score_musicxml(score, 0, nullptr, 0),
              quarvel_score_musicxml(score, 2, nullptr, 0));
    quarvel_score_free(score);
}

}  // namespace
}  // namespace quarvel
