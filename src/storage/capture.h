// Captures: screenshots (PNG), the cartridge label (QOI), GIF recordings and raw audio
// captures, asked for by the machine signals and fed by each frame and each audio block.
#pragma once
#include <cstddef>
#include <cstdint>

// Where captures go, and the label's file.
constexpr const char* CAPTURE_FOLDER = "/desktop/host/";
constexpr const char* LABEL_CAPTURE_PATH = "/ram/cart/label.qoi";
// Capture names are at most this many bytes; the first free "<name>_<N>" goes up to N = 255.
constexpr int CAPTURE_NAME_MAX = 64;
constexpr int CAPTURE_NAME_SUFFIX_MAX = 255;
constexpr int CAPTURE_PATH_MAX = 1024;

// Boxes are clamped to these sizes within the 480 x 270 screen; delays to 0..32 frames.
constexpr int32_t CAPTURE_MIN_SIZE = 16;
constexpr int32_t CAPTURE_MAX_DELAY = 32;

// GIF frames are encoded as they come, on a worker thread of the recording: the frame hook
// only copies the screen, palette and line selection into a short queue. A recording ends by
// itself, written, when its next frame could take the file past gif_file_limit (bytes of output,
// counting each queued frame at the most it can encode to). A frame that finds the queue full
// is left out and its time given to the next frame.
constexpr int32_t GIF_QUEUE_FRAMES = 4;
constexpr int32_t GIF_RECORDINGS = 4;  // one recording, and up to three still being written
extern int64_t gif_file_limit;         // bytes; tests lower it
constexpr int64_t GIF_FILE_LIMIT_DEFAULT = int64_t(512) << 20;
constexpr int GIF_FRAME_DELAY = 3;  // hundredths of a second: every second 60 Hz frame
constexpr uint8_t GIF_UNCHANGED_INDEX = 255;
// The most bytes one frame of width x height can add to the file.
int64_t gif_frame_bound(int32_t width, int32_t height);

// Raw audio capture: 16-bit stereo at 44,100 Hz, no header, written to its file as it comes.
// The audio callback appends to a buffer of ten seconds that each frame empties into the file;
// blocks past the limit (twenty minutes unless a test lowers it) are not kept.
constexpr int32_t AUDIO_CAPTURE_BYTES_PER_SECOND = 4 * 44100;
constexpr int64_t AUDIO_CAPTURE_INITIAL_BYTES = 10 * AUDIO_CAPTURE_BYTES_PER_SECOND;
constexpr int64_t AUDIO_CAPTURE_MAX_BYTES = int64_t(20) * 60 * AUDIO_CAPTURE_BYTES_PER_SECOND;
extern int64_t audio_capture_limit;
constexpr int32_t BUFFER_TAG_AUDIO_CAPTURE = 97;

// Turns the bytes of a capture name into one the host folder can take: stops at a zero byte or
// after CAPTURE_NAME_MAX bytes, and replaces anything but letters, digits, '_', '.' and '-'
// with '_'. Returns the length written to out (out holds CAPTURE_NAME_MAX + 1 bytes).
int clean_capture_name(const uint8_t* bytes, char* out);
// The path for a capture: CAPTURE_FOLDER<name><ext>, or the first free
// CAPTURE_FOLDER<name>_<N><ext> for N = 1..255. A name is free only when nothing at all is
// there: no file, folder or link (even a dangling one). False when none is free.
// *tried, when given, gets the number of names looked at.
bool get_capture_filename(const char* name, const char* ext, char* out, size_t size, int32_t* tried = nullptr);

// Screenshots: the request is read from the current process's request block; each frame
// counts its delay down and then takes the frame (before any enlargement). The frame only
// copies the box and makes the file; a worker thread of the screenshot enlarges, encodes and
// writes it, and update_captures reports it once the file is complete. A screenshot taken
// while SCREENSHOT_JOBS are still being written is dropped.
constexpr int32_t SCREENSHOT_JOBS = 2;
void request_screenshot();
void update_screenshot(const uint32_t* frame);

// GIF recordings: 0 when a recording started. Each frame while recording gets the output
// palette and the line palettes; the screen is read from process 3. gif_end hands the end
// to the recording's worker, which writes the frames still queued and the trailer; the
// result is reported by update_captures once the file is complete.
int gif_start();
void update_gif_recording(const uint32_t* palette, const uint32_t* line_palette);
void gif_end();
// The cycles the last capture start spent: names looked at, buffers made, the file created.
int64_t capture_start_cost();

// Raw audio capture. Start and end run on the main thread under the nesting audio lock;
// start gives 1 when no file or buffer could be made, end 1 when the file could not be
// written whole. A start while a capture runs ends that capture first.
int audio_capture_start();
int audio_capture_end();
// Called by the audio callback with each block it gave the device.
void audio_capture_append(const uint8_t* block, int32_t length);

// Each frame, on the main thread: moves the captured audio into its file and reports the
// GIF recordings and screenshots whose workers have finished.
void update_captures();

// Ends whatever capture is running, writing it as its own end would (before a reboot or
// quit), and drops a pending screenshot. With wait, returns only once every recording's and
// screenshot's file is complete and reported (at quit); otherwise the workers finish on their own.
void end_captures(bool wait);
