// The script functions note, sfx and music, and the default audio data of every new process:
// the wave tables and the default instrument.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "audio/mudo.h"
#include "audio/wave_table.h"
#include "kernel/api.h"
#include "kernel/memory.h"
#include "kernel/process.h"
#include "lua.h"

namespace {

// ---- Arguments ------------------------------------------------------------------------------------

int64_t audio_arg(lua_State* L, int index, int64_t dflt) { return truncated_arg(L, index, dflt); }

uint32_t page_base(uint8_t page) { return (uint32_t)page << 16; }

}  // namespace

int lua54_play_note(lua_State* L) {
    process_record* p = cproc;
    if (!p) return 0;
    bool bare = lua_gettop(L) == 0;
    int64_t pitch = audio_arg(L, 1, 48), instrument = audio_arg(L, 2, 0), volume = audio_arg(L, 3, 64);
    int64_t effect = audio_arg(L, 4, 0), param = audio_arg(L, 5, 0), channel = audio_arg(L, 6, bare ? -1 : 0);
    int64_t retrigger = lua_isnoneornil(L, 7) ? 1 : lua_toboolean(L, 7);
    int64_t pan = audio_arg(L, 8, MUDO_NO_PAN);
    uint8_t mix_volume = peek(ADDR_AUDIO_MIX_VOLUME), base_page = peek(ADDR_AUDIO_BASE_PAGE);
    if (audio_op_start(p->id, 1) != 0) return 0;
    // The base goes in before the note too, so that a new instrument loads from it.
    bool live = channel >= 0 && channel < MUDO_CHANNELS;
    if (live) mudo_set_channel_base_addr((int)channel, page_base(base_page));
    mudo_set_note(channel, pitch, instrument, volume, effect, param, retrigger, pan);
    if (live) {
        mudo_set_channel_mix_vol((int)channel, mix_volume);
        mudo_set_channel_base_addr((int)channel, page_base(base_page));
    }
    audio_op_end();
    return 0;
}

int lua54_play_track(lua_State* L) {
    process_record* p = cproc;
    if (!p) return 0;
    uint8_t base_page = peek(ADDR_AUDIO_BASE_PAGE);
    int64_t track = audio_arg(L, 1, 0), channel = audio_arg(L, 2, -1), first_row = audio_arg(L, 3, 0);
    int64_t num_rows = audio_arg(L, 4, 0), pan = audio_arg(L, 5, MUDO_NO_PAN);
    int64_t mix_volume = audio_arg(L, 6, peek(ADDR_AUDIO_MIX_VOLUME));
    if (audio_op_start(p->id, 1) != 0) return 0;
    int32_t c = mudo_play_track(track, channel, first_row, num_rows, false, pan, mix_volume, page_base(base_page), 0);
    if (c >= 0) mudo_set_channel_base_addr(c, page_base(base_page));
    audio_op_end();
    return 0;
}

int lua54_play_music(lua_State* L) {
    process_record* p = cproc;
    if (!p) return 0;
    int64_t pattern = audio_arg(L, 1, 0), fade_ms = audio_arg(L, 2, 0), mask = audio_arg(L, 3, 255);
    int64_t base = q64_intp(L, 4, page_base(peek(ADDR_AUDIO_MUSIC_PAGE)));
    int64_t start_tick = q64_intp(L, 5, 0);
    if (audio_op_start(p->id, 1) != 0) return 0;
    if (pattern == -1) mudo_fade_out_music(fade_ms);
    else mudo_play_music(pattern, fade_ms, mask, (uint32_t)((uint64_t)base & ADDRESS_MASK), start_tick);
    audio_op_end();
    return 0;
}

// ---- Default audio data ---------------------------------------------------------------------------

namespace {

static_assert(ADDR_WAVE_TABLES + WAVE_TABLE_BYTES == ADDRESS_SPACE_SIZE);

// A process's random stream as it stands after the noise of the wave table was drawn from it.
uint64_t stream_after_noise[4];

constexpr uint8_t default_instrument[64] = {
    0x00, 0x01, 0x00, 0x00, 0x06, 0x20, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
    0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00,
    0x02, 0x20, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x21, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
    0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
};
constexpr uint8_t default_descriptors[8] = {0x00, 0xF8, 0x0A, 0xFF, 0x80, 0xF7, 0x0D, 0x01};

// The page at ADDR_AUDIO_DATA as every process starts with it: the default instrument and its
// two wave descriptors, zeros elsewhere. Shared like the wave table.
alignas(4096) uint8_t default_audio_page[PAGE_SIZE];
bool default_audio_page_built = false;

bool stream_after_noise_settled = false;

void settle_stream_after_noise() {
    xoshiro256ss_seed(stream_after_noise, WAVE_NOISE_SEED);
    for (uint32_t i = 0; i < WAVE_NOISE_SAMPLES; i++) xoshiro256ss(stream_after_noise);
    stream_after_noise_settled = true;
}

// Writes bytes into a process's space from address a on, marking the pages written.
void write_to_process(process_record* rec, uint32_t a, const uint8_t* bytes, uint32_t n) {
    while (n > 0) {
        uint32_t stretch = 0;
        uint8_t* dst = locate_proc_for_write(rec, a, &stretch);
        uint32_t run = std::min(n, stretch);
        memcpy(dst, bytes, run);
        mark_page_written(rec->pages, a >> 12);
        a += run, bytes += run, n -= run;
    }
}

}  // namespace

void write_default_audio_data(process_record* rec) {
    if (!rec) return;
    if (!stream_after_noise_settled) settle_stream_after_noise();
    // Later processes take the first one's pages as they stand: those it never wrote are the
    // shared table still, and are shared again; a page it made its own is copied.
    process_record* first = get_process(1);
    bool from_first = rec->id >= 2 && first && first != rec;
    for (uint32_t p = ADDR_WAVE_TABLES >> 12; p < PAGE_COUNT; p++) {
        const uint8_t* shared = wave_table + (p * PAGE_SIZE - ADDR_WAVE_TABLES);
        if (from_first && !(page_is_shared(first, p) && first->pages.page[p] == shared)) {
            q64_pmemcpy_pages(first, rec, int64_t(p) * PAGE_SIZE, int64_t(p + 1) * PAGE_SIZE);
            continue;
        }
        if (page_is_shared(rec, p) && rec->pages.page[p] == shared) continue;
        if (!page_owned(rec->pages, p) && rec->pages.mapped[p] == 0) share_page(rec, p, shared);
        else write_to_process(rec, p * PAGE_SIZE, shared, PAGE_SIZE);
    }
    // Every process starts its random stream where the first one's stands after the noise.
    memcpy(rec->rng_state, stream_after_noise, sizeof(rec->rng_state));
    if (!default_audio_page_built) {
        memcpy(default_audio_page, default_instrument, sizeof(default_instrument));
        memcpy(default_audio_page + MUDO_WAVE_DESCRIPTORS_OFFSET, default_descriptors, sizeof(default_descriptors));
        default_audio_page_built = true;
    }
    constexpr uint32_t audio_page = ADDR_AUDIO_DATA >> 12;
    static_assert(MUDO_WAVE_DESCRIPTORS_OFFSET + sizeof(default_descriptors) <= PAGE_SIZE);
    if (!page_owned(rec->pages, audio_page) && rec->pages.mapped[audio_page] == 0) {
        share_page(rec, audio_page, default_audio_page);
    } else {
        write_to_process(rec, ADDR_AUDIO_DATA, default_instrument, sizeof(default_instrument));
        write_to_process(rec, ADDR_AUDIO_DATA + MUDO_WAVE_DESCRIPTORS_OFFSET, default_descriptors,
                         sizeof(default_descriptors));
    }
}
