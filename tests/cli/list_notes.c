/* list_notes: the notes of a score's whole rendering as libquarvel lists
 * them, one a line: voice instrument note level start_frame frames. For the
 * export tests, which compare the MIDI file against them.
 *   list_notes score.qvl */
#include <stdio.h>
#include <stdlib.h>

#include <quarvel.h>

int main(int argc, char **argv) {
    if (argc != 2) return 2;
    FILE *f = fopen(argv[1], "rb");
    if (!f) return 1;
    static char text[1 << 20];
    const size_t length = fread(text, 1, sizeof text, f);
    fclose(f);
    quarvel_diagnostic error;
    quarvel_score *score = quarvel_compile(text, length, QUARVEL_DIALECT_COMBINED, &error);
    if (!score) {
        fprintf(stderr, "%d:%d: %s\n", error.line, error.column, error.message);
        return 3;
    }
    const size_t count = quarvel_score_notes(score, 0, NULL, 0);
    quarvel_note *notes = malloc((count + 1) * sizeof *notes);
    if (!notes) return 2;
    quarvel_score_notes(score, 0, notes, count);
    for (size_t i = 0; i < count; ++i) {
        printf("%d %d %d %d %llu %llu\n", notes[i].voice, notes[i].instrument, notes[i].note,
               notes[i].level, (unsigned long long)notes[i].start_frame,
               (unsigned long long)notes[i].frames);
    }
    free(notes);
    quarvel_score_free(score);
    return 0;
}
