/* render_wav: renders a score to a WAVE file through libquarvel alone.
 *
 *   cc render_wav.c $(pkg-config --cflags --libs quarvel) -o render_wav
 *   ./render_wav tune.qvl tune.wav [start_part]
 *
 * The file holds the same bytes that `quarvelcd -w tune` writes (for the whole
 * score; with a start part, what playing with -g would sound). */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <quarvel.h>

static char *read_all(const char *path, size_t *length) {
    FILE *f = fopen(path, "rb");
    if (!f) return NULL;
    size_t size = 0, room = 65536;
    char *text = malloc(room);
    for (size_t n; text && (n = fread(text + size, 1, room - size, f)) > 0;) {
        size += n;
        if (size == room) {
            char *bigger = realloc(text, room *= 2);
            if (!bigger) free(text);
            text = bigger;
        }
    }
    if (ferror(f)) {
        free(text);
        text = NULL;
    }
    fclose(f);
    *length = size;
    return text;
}

static void put32(unsigned char *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = (unsigned char)(v >> (8 * i));
}

static void put16(unsigned char *p, uint16_t v) {
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
}

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: render_wav score.qvl out.wav [start_part]\n");
        return 1;
    }
    size_t length = 0;
    char *text = read_all(argv[1], &length);
    if (!text) {
        fprintf(stderr, "render_wav: cannot read %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    quarvel_diagnostic error;
    quarvel_score *score = quarvel_compile(text, length, QUARVEL_DIALECT_COMBINED, &error);
    free(text);
    if (!score) {
        fprintf(stderr, "%s:%d:%d: error %d: %s\n", argv[1], error.line, error.column,
                error.number, error.message);
        return 3;
    }
    const int start_part = argc > 3 ? (int)strtol(argv[3], NULL, 16) : 0;
    const uint64_t frames = quarvel_score_total_frames(score, start_part);
    if (frames > (0xFFFFFFFFu - 38) / 4) {
        fprintf(stderr, "render_wav: too long for a WAVE file\n");
        quarvel_score_free(score);
        return 4;
    }
    quarvel_player *player = quarvel_player_new(score, start_part);
    quarvel_score_free(score); /* the player keeps what it needs */
    FILE *out = player ? fopen(argv[2], "wb") : NULL;
    if (!out) {
        fprintf(stderr, "render_wav: cannot create %s\n", argv[2]);
        quarvel_player_free(player);
        return 4;
    }

    /* RIFF head: PCM, 2 channels, 44100 Hz, 16 bits, an 18-byte "fmt " chunk. */
    unsigned char head[46];
    memcpy(head, "RIFF", 4);
    put32(head + 4, (uint32_t)(38 + 4 * frames));
    memcpy(head + 8, "WAVEfmt ", 8);
    put32(head + 16, 18);
    put16(head + 20, 1);
    put16(head + 22, 2);
    put32(head + 24, QUARVEL_SAMPLE_RATE);
    put32(head + 28, 4 * QUARVEL_SAMPLE_RATE);
    put16(head + 32, 4);
    put16(head + 34, 16);
    put16(head + 36, 0);
    memcpy(head + 38, "data", 4);
    put32(head + 42, (uint32_t)(4 * frames));
    int ok = fwrite(head, 1, sizeof head, out) == sizeof head;

    static int16_t samples[2 * 4096];
    unsigned char bytes[4 * 4096];
    size_t n;
    while (ok && (n = quarvel_player_render(player, samples, 4096)) > 0) {
        for (size_t i = 0; i < 2 * n; ++i) put16(bytes + 2 * i, (uint16_t)samples[i]);
        ok = fwrite(bytes, 4, n, out) == n;
    }
    quarvel_player_free(player);
    if (fclose(out) != 0 || !ok) {
        fprintf(stderr, "render_wav: cannot write %s\n", argv[2]);
        return 4;
    }
    return 0;
}
