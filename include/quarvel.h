/* quarvel.h: compile and render scores of the quarvel music language.
 *
 * The library turns a score text into 44100 Hz, 16-bit stereo sound: the
 * same frames, byte for byte, that `quarvelcd` plays, writes with -w and
 * identifies with -c.
 *
 *   quarvel_diagnostic error;
 *   quarvel_score *score = quarvel_compile(text, length, QUARVEL_DIALECT_COMBINED, &error);
 *   if (!score) { fprintf(stderr, "%d:%d: %s\n", error.line, error.column, error.message); }
 *   quarvel_player *player = quarvel_player_new(score, 0);
 *   int16_t frames[2 * 4096];
 *   size_t n;
 *   while ((n = quarvel_player_render(player, frames, 4096)) > 0) consume(frames, n);
 *   quarvel_player_free(player);
 *   quarvel_score_free(score);
 *
 * Conventions
 * - C99. Every object is reached through an opaque handle; there is no global
 *   mutable state, so separate players may be used on separate threads at
 *   the same time. One handle must not be used by two threads at once.
 * - No function ever lets an exception or a signal escape. Every pointer
 *   argument is checked: a NULL handle or buffer makes a function do nothing
 *   and answer 0, NULL or QUARVEL_EINVAL, as its description says.
 * - Lifetimes: a score is immutable once compiled. A player keeps the score
 *   it plays alive: quarvel_score_free() may be called while players of the
 *   score still exist; the score's memory goes with the last of them.
 *   Strings returned by the library live as long as the object they came
 *   from (quarvel_version: for ever).
 * - Frames are interleaved stereo: left, right, left, right..., 44100 frames
 *   per second. Sample values in memory are those of the program's WAVE data
 *   and CRC (little-endian on disk).
 * - Bars are numbered from 1 in the order the text is compiled: each bar line
 *   ("M"), part command and the end of the text that closes notes makes one
 *   bar (a repeated passage makes a bar for every pass). Parts are named by
 *   their numbers as -g names them.
 *
 * Versions: QUARVEL_VERSION_MAJOR.MINOR.PATCH. The major version is the
 * shared library's soname (libquarvel.so.1) and changes only when this
 * interface breaks; a new minor version adds functions; a patch fixes.
 */
#ifndef QUARVEL_H
#define QUARVEL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(QUARVEL_BUILDING) && defined(__GNUC__)
#define QUARVEL_API __attribute__((visibility("default")))
#else
#define QUARVEL_API
#endif

#define QUARVEL_VERSION_MAJOR 1
#define QUARVEL_VERSION_MINOR 0
#define QUARVEL_VERSION_PATCH 0

#define QUARVEL_SAMPLE_RATE 44100

#define QUARVEL_DIALECT_COMBINED 0 /* no switch */
#define QUARVEL_DIALECT_QUARVEL 1  /* what -o selects */
#define QUARVEL_DIALECT_LUTERA 2   /* what -p selects */

/* Results of the functions that answer int. */
#define QUARVEL_OK 0
#define QUARVEL_EINVAL (-1)   /* a NULL handle or pointer, or an argument out of range */
#define QUARVEL_ENOTFOUND (-2) /* no such bar or part in this rendering */
#define QUARVEL_ENOMEM (-3)

/* Compile error numbers, as "error:%d near line:%d col:%d" prints them. */
#define QUARVEL_ERROR_CHARACTER 2    /* a bad digit or note character */
#define QUARVEL_ERROR_RANGE 3        /* a command argument out of range */
#define QUARVEL_ERROR_PART_NUMBER 4  /* a part number in use, or none to replay */
#define QUARVEL_ERROR_DURATION 6     /* a duration longer than 255 ticks */
#define QUARVEL_ERROR_MEMORY 100     /* no memory to compile (not a fault of the text) */
#define QUARVEL_ERROR_ARGUMENT 101   /* NULL text, or an unknown dialect */

typedef struct quarvel_score quarvel_score;
typedef struct quarvel_player quarvel_player;

/* A compile error, or a warning. number: the error number (or 0 for a
 * warning); line and column: the place, counted as the program counts them
 * (column: bytes from the start of the line, 1 being the first character).
 * For an error these are exactly the numbers of the program's play-mode line
 * "error:%d near line:%d col:%d": where the reader stood when it found the
 * fault, just behind the character read (so a fault found at the end of the
 * text is on the line after the last one, column 0). message: the fault in
 * words, naming the command. */
typedef struct {
    int number;
    int line;
    int column;
    char message[256];
} quarvel_diagnostic;

/* One bar of the score: its number, the part it was compiled in, where its
 * notes are in the text (first and last character of its note tokens; 0 when
 * the bar has none, which a bar never has today), and its length. */
typedef struct {
    int number;
    int first_line, first_column;
    int last_line, last_column;
    uint32_t ticks;
} quarvel_bar;

/* Where a player stands: frames rendered (or skipped by a seek) and the total
 * of the rendering, the number of the part and of the bar the next frame
 * belongs to (0 at the end), and the first frame of that pass over the bar. */
typedef struct {
    uint64_t frame;
    uint64_t total_frames;
    int part;
    int bar;
    uint64_t bar_start_frame;
} quarvel_position;

/* One note as it sounds in a rendering from a start part (replays and
 * repeats unrolled): voice 1 to 5, the output slot 0 to 4 (0 and 1 left,
 * 2 to 4 right), the instrument 0 to 4 (A to E), the note number (1 to 71 a
 * semitone, 37 the C of degree 0, 73 to 88 a noise rate), the envelope level
 * it starts at (2 loud to 254 silent), where it starts and how long it lasts
 * in frames, the bar it was written in, and its text (line and column of
 * its first character, 0 when unknown). */
typedef struct {
    int voice;
    int slot;
    int instrument;
    int note;
    int level;
    uint64_t start_frame;
    uint64_t frames;
    int bar;
    int line;
    int column;
} quarvel_note;

QUARVEL_API const char *quarvel_version(void);

/* Compiles a score text of `length` bytes (it need not end in a NUL and may
 * hold any bytes). Answers NULL and fills *error (when error is not NULL) on a
 * compile error. */
QUARVEL_API quarvel_score *quarvel_compile(const char *text, size_t length, int dialect,
                                           quarvel_diagnostic *error);
/* Releases the caller's hold on a score (NULL is allowed). */
QUARVEL_API void quarvel_score_free(quarvel_score *score);

/* Frames of the whole rendering from start_part (0: from the first part; a
 * part number that no part has: 0 frames), worked out without rendering. */
QUARVEL_API uint64_t quarvel_score_total_frames(const quarvel_score *score, int start_part);

/* Bars: how many, and one of them by number (1 to the count). */
QUARVEL_API int quarvel_score_bar_count(const quarvel_score *score);
QUARVEL_API int quarvel_score_bar(const quarvel_score *score, int number, quarvel_bar *bar);
/* The number of the bar whose note text holds line:column, or failing that
 * the first bar whose notes begin after it; 0 when there is none. */
QUARVEL_API int quarvel_score_bar_at(const quarvel_score *score, int line, int column);

/* Warnings: places where the language's rules make the score sound other
 * than its text seems to say. The count is of every warning the compiler
 * found, whether the program prints it by default or only on request; each
 * place is reported once (a repeated passage warns once), in the order
 * found, at most 200 of each name. quarvel_score_warning fills `warning`
 * (number 0, the line and column of the place, the message) and points
 * *name (if name is not NULL) at the warning's name, a string that lives for
 * ever; QUARVEL_ENOTFOUND for an index out of range.
 *
 * Names; those marked (default) are printed by quarvelcd unless
 * --no-warn=NAME, the others only with --warn=NAME or --warn=all:
 *   bar-length (default)          the voices of a bar differ in length
 *   shared-note-mode (default)    a voice's steps read in a note mode set for another voice
 *   shared-duration               a voice's first note after V takes another voice's duration
 *   shared-accidental             an accidental of one voice alters another voice's note
 *   key-before-bar (default)      notes between K and the next bar line miss the new key
 *   notes-after-replay (default)  notes between R and the next part are never heard
 *   repeat (default)              a ( never closed, a ( inside a repeat, a ) without (
 *   pitch-fold (default)          a note outside C1..A#6 sounds an octave off
 *   redefinition (default)        an instrument defined again; a part setting changed mid-part
 *   no-duration (default)         notes before any duration letter last one tick
 *   glued-bar-line (default)      text glued to M is skipped and is not a bar number
 *   start-part (default)          the start part is a number no part has (see below) */
QUARVEL_API int quarvel_score_warning_count(const quarvel_score *score);
QUARVEL_API int quarvel_score_warning(const quarvel_score *score, int index,
                                      quarvel_diagnostic *warning, const char **name);
/* The start-part warning: QUARVEL_OK with the message in `warning` (line and
 * column 0) when no part is numbered start_part, so that a player from it
 * plays nothing; QUARVEL_ENOTFOUND when there is such a part or start_part
 * is 0. */
QUARVEL_API int quarvel_score_start_part_warning(const quarvel_score *score, int start_part,
                                                 quarvel_diagnostic *warning);

/* The notes of the rendering from start_part, in the order they start. Fills
 * up to `capacity` notes and answers how many there are in all (call with
 * capacity 0 to count). */
QUARVEL_API size_t quarvel_score_notes(const quarvel_score *score, int start_part,
                                       quarvel_note *notes, size_t capacity);

/* The score as MusicXML 4.0 (score-partwise, UTF-8, no NUL at the end): the
 * notes the rendering from start_part plays, one part per voice (a voice's
 * noise notes on a percussion part), pitches spelled as written, equal notes
 * the language merges tied, repeats on bar lines as repeat bar lines. Every
 * measure and note has an id that leads back to the text:
 *   m<bar>_<pass>                measure: its bar number (as quarvel_bar
 *                                counts) and which time it sounds (from 1)
 *   n<line>_<column>_<pass>      note or rest written at line:column (its
 *                                first character), the pass-th time that text
 *                                sounds; _<k> follows for the k-th (2, 3 ...)
 *                                of the tied notes one written note became
 *   r<bar>_<pass>_<part>_<tick>  a rest the text does not write
 * and an id another part already used gets _s<part> after it. A repeat
 * written with repeat bar lines keeps the ids of its first pass.
 * Copies up to `capacity` bytes into buffer and answers the length of the
 * whole text in bytes (call with capacity 0 to measure); 0 when score is
 * NULL, buffer is NULL with a capacity, or memory is short. The program's
 * --export NAME.musicxml writes the same bytes. */
QUARVEL_API size_t quarvel_score_musicxml(const quarvel_score *score, int start_part, char *buffer,
                                          size_t capacity);

/* A player of the rendering from start_part, as -g starts one (0: from the
 * start). NULL when score is NULL or memory is short. */
QUARVEL_API quarvel_player *quarvel_player_new(const quarvel_score *score, int start_part);
QUARVEL_API void quarvel_player_free(quarvel_player *player);

/* Fills up to `frames` frames (2 × frames samples); answers how many frames it
 * wrote, 0 at the end (and whenever an argument is NULL or frames is 0). */
QUARVEL_API size_t quarvel_player_render(quarvel_player *player, int16_t *interleaved,
                                         size_t frames);
/* The same frames as floats: each sample / 32768.0. */
QUARVEL_API size_t quarvel_player_render_float(quarvel_player *player, float *interleaved,
                                               size_t frames);

QUARVEL_API int quarvel_player_position(const quarvel_player *player, quarvel_position *position);
/* Moves to the start of the first pass over a bar or a part in this
 * rendering, or to a frame (clamped to the end). The frames from there are
 * exactly those the whole rendering has from that point. */
QUARVEL_API int quarvel_player_seek_bar(quarvel_player *player, int bar);
QUARVEL_API int quarvel_player_seek_part(quarvel_player *player, int part);
QUARVEL_API int quarvel_player_seek_frame(quarvel_player *player, uint64_t frame);

#ifdef __cplusplus
}
#endif

#endif /* QUARVEL_H */
