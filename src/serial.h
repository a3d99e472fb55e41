#pragma once
// The serial link to the I/O board: opens the board's USB serial port, sends
// byte strings with a write time-out, and turns what the board sends back into
// text lines that the caller takes one at a time. Nothing here waits on the
// board: reads return at once and callers poll against deadlines of their own.
#include "lfqueue.h"

#include <cstdint>

// The heap part of a link, shared with the link's watcher thread (the port
// handle, the `connected` flag, the watcher itself). Laid out by each
// platform's half.
struct serial_transport_t;

// How many lines of free text the link keeps for its reader, and as many
// status words again. A wait looks for one answer among the board's lines,
// and the transfer shows one line per piece: a board that talks without end
// (a log left on, an echoing bridge) must cost bounded memory, not grow it
// for as long as it talks. 1024 lines are at most about 300 KB, and some
// 90 s of what the transfer shows at full speed, far more than any answer
// needs to wait behind; the oldest free text is what goes.
constexpr int32_t SERIAL_QUEUE_LINES = 1024;

// The lines received and not yet handed out, oldest first, for the link's
// one reader. Plain data: a link cleared with memset holds an empty one that
// serial_queue_init prepares.
struct serial_line_queue_t {
  lfq_queue_t lines;    // every line kept, in the board's order (heap records the queue owns)
  lfq_queue_t text;     // the free-text lines among them, oldest first (the same records)
  int32_t text_count;   // free-text lines kept
  int32_t status_count; // status words kept
  int64_t dropped;      // lines given up for room since the link was made
};

struct serial_t {
  uint8_t running;              // 1 once serial_init has opened the port and started the watcher
  char port_name[1024];         // COM name on Windows, device path elsewhere; cut to 1023 characters
  char line_buf[256];           // the line being received
  int32_t line_len;             // where the next received byte goes (0..255)
  serial_line_queue_t rx_queue; // complete lines not yet handed out, oldest first
  serial_transport_t *transport;
  int32_t tx_taken;       // bytes of the last send that the port took
  uint8_t tx_port_failed; // 1 when the last send ended on a failure of the port, not on the board's silence
};

// Opens and configures the port (115200 8N1, no flow control, DTR and RTS
// raised) and starts the watcher. Prints its own errors. The caller must call
// serial_free afterwards whatever this returns.
bool serial_init(serial_t *s, const char *port_name);
// (Re)opens the link's port with the link's settings; the watcher calls it
// when the board comes back on the bus. Quiet when the port cannot be opened.
bool serial_connect(serial_t *s);
bool serial_tx(serial_t *s, const char *text);
// True when every byte was written. Gives up when the port is gone, when a
// write fails, after 30000 ms in which the board took no byte, and once the
// technician asked the run to stop. tx_taken then says how far it got.
bool serial_tx_bytes(serial_t *s, const void *bytes, int32_t count);
// Takes everything the board has sent so far (up to 64 KiB per call) into
// the line queue, then copies the oldest complete line into dest (cut to
// dest_size - 1 characters, NUL-terminated). False when there is none,
// after a pause of about 2 ms when no byte arrived either.
bool serial_rx_pop(serial_t *s, char *dest, int32_t dest_size);
bool serial_available(serial_t *s);
// After a failed send: whether the board has left the bus and is not back,
// rather than stopped taking bytes. True when the watcher saw the port go
// and has not brought it back, or when the send ended on a failure of the
// port itself and the port is no longer there. A send that only ran out of
// time with the board taking nothing is a stall, not a departure.
bool serial_board_left(serial_t *s);
// Asks the link's watcher to end, without waiting: the link then no longer
// follows the board through a replug. serial_free still has to be called.
void serial_stop(serial_t *s);
// Closes the port, ends the watcher and releases every queued line. Says
// once, on standard error, how many of the board's lines were dropped for
// room, if any. Safe after a failed serial_init and on a link already freed.
void serial_free(serial_t *s);

// Whether the port is there to be opened now (the board is on the bus),
// without keeping it. Does not wait. Linux: the path leads to a character
// device; Windows: the COM device opens and answers for its state.
bool serial_port_present(const char *port_name);

// How long a send waits for a port that went off the bus to come back before
// it fails, and how long a send may go without the board taking a byte.
constexpr int32_t SERIAL_RECONNECT_WAIT_MS = 30000;
constexpr int32_t SERIAL_NO_PROGRESS_MS = 30000;
// The most bytes one write call asks the port to take. A write call may last
// the port's whole write time-out (20 ms per byte asked for plus 1000 ms)
// before it returns, and the no-progress limit is only looked at between
// calls: with 4096-byte calls that was 82.9 s per call, so a board that
// stopped reading was given up only after about 137 s. At 256 bytes a call
// lasts at most 6.12 s: the limit is crossed 5 calls (30.6 s) after the last
// call that took something, which itself ends at most 6.12 s after the board
// took its last byte, so a stalled board is given up within about 37 s of it.
// 128 bytes would save nothing (9 calls of 3.56 s cross the limit at 32 s)
// and cost twice the calls; 512 would take up to 45 s. 256 bytes are 22 ms
// of the link at 115200 baud; the bytes on the wire are the same.
constexpr int32_t SERIAL_WRITE_CALL_BYTES = 256;

// ---- The parts that need no port, for the link's own use and for tests ----

// Called by the framing for each complete line: its text, NUL-terminated at
// `length` (0..255). A NUL byte from the board inside the line is given as
// the four characters \x00, so the line is free text. Returns false when the line could not be kept (out of
// memory); the framing then drops the rest of the bytes it was given.
using serial_line_fn = bool (*)(void *context, const char *text, int32_t length);

// Frames received bytes into lines. A line ends at a line feed; the control
// characters directly before it (bytes that are below 32 as signed 8-bit
// values, so 0x80..0xFF too) are removed, those elsewhere stay. line_buf
// holds 256 bytes and is written round from its start again once full, so a
// longer line keeps only its last (length mod 256) bytes. Returns how many
// of the bytes were taken: all of them unless on_line refused a line.
int32_t serial_frame(char *line_buf, int32_t *line_len, const uint8_t *bytes, int32_t count, serial_line_fn on_line,
                     void *context);

// One write on the port: the number of bytes it took (0 when the port's
// write time-out passed with none taken), or -1 when the write failed.
using serial_write_fn = int32_t (*)(void *context, const uint8_t *bytes, int32_t count);

// Asked before each write call: true when the run is to stop.
using serial_stop_fn = bool (*)();

// The received-line queue. A line is a status word when it is one of the
// bridge's answers (START, DONE, FAIL, TIMEOUT, NORESP, BOOTSEL) as a whole.
// Beyond SERIAL_QUEUE_LINES lines of free text the oldest free text is
// dropped; status words are never dropped for free text, and beyond
// SERIAL_QUEUE_LINES of them the newest are. `dropped` counts both.
bool serial_line_is_status(const char *text);
// False when out of memory; the queue must then not be used.
bool serial_queue_init(serial_line_queue_t *q);
// Queues one framed line: a serial_line_fn with the queue as its context.
bool serial_queue_push(void *queue, const char *text, int32_t length);
// The oldest line kept, copied into dest (cut to dest_size - 1 characters);
// false when there is none.
bool serial_queue_pop(serial_line_queue_t *q, char *dest, int32_t dest_size);
// Releases every line still queued.
void serial_queue_free(serial_line_queue_t *q);

// The send loop: writes until every byte is taken (true), a write fails
// (false) or SERIAL_NO_PROGRESS_MS pass without a byte taken (false),
// pausing 1 ms between writes that take nothing. No write call asks for more
// than SERIAL_WRITE_CALL_BYTES. With `stop`, it also gives up (false) before
// any write call once stop says so; with `sent`, it gives there the number
// of bytes taken, whatever the outcome.
bool serial_send_loop(const uint8_t *bytes, int32_t count, serial_write_fn write, void *context,
                      serial_stop_fn stop = nullptr, int32_t *sent = nullptr);
