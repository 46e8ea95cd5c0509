// The program's audio calls: one function per call of the audio contract, forwarded to the
// backend of the context in use (libpulse or the virtual apparatus, chosen at start-up).
#pragma once

#include <cstdint>

#include "platform/audio/AudioTypes.h"

namespace audio {

class AudioBackend;

// Every call runs on the GUI thread. Results follow the audio contract: a handle or success
// value of 0 (false) means failure. Positions and lengths are in bytes; volumes in percent
// (0 ... 100). Without a backend every call fails.

// The contract's version, kVersion; the program checks the high 16 bits for 0x0203.
uint32_t GetVersion();
// Opens the output device (-1 = default, 1 = the first real one) at freq Hz. window and clsid
// are accepted for the contract and ignored. False when there is no output (no sound server).
bool Init(int device, uint32_t freq, uint32_t flags, void* window, const void* clsid);
// Releases the output, every stream and the recording. True if a backend was installed.
bool Free();
// Opens the recording device (-1 = default, 0 = the first one).
bool RecordInit(int device);
// Releases the recording device and ends a running recording.
bool RecordFree();
// The name of recording input `input` (0, 1, ...), nullptr past the last one. The text is
// owned by the backend and stays valid until the next RecordInit or RecordFree.
const char* RecordGetInputName(int input);
// The state word of input `input`: kInputOff if it is switched off, the kind in
// kInputTypeMask, the level (0 ... 100) in the low 16 bits; kInputFailed on failure.
uint32_t RecordGetInput(int input);
// Applies kInputOff or kInputOn, and with kInputLevel the level in the low 16 bits.
bool RecordSetInput(int input, uint32_t setting);
// Starts recording freq Hz (44100 only) with chans channels (1 or 2) into the backend's ring
// buffer; proc receives every block (see RecordProc). Returns the recording handle.
Handle RecordStart(uint32_t freq, uint32_t chans, uint32_t flags, RecordProc proc, void* user);
// A new playback stream over a 16-bit mono 44100 Hz WAV image in memory (mem = true, file =
// the image, offset and length in bytes). The backend keeps pointers into the image and
// never copies it: the caller owns the image and must keep it unchanged and alive for as long
// as the stream may play (the program's WavImage lives to the end and is rewritten only while
// nothing plays). Streams are not released; each call makes a new one.
Handle StreamCreateFile(bool mem, const void* file, uint64_t offset, uint64_t length,
                        uint32_t flags);
// Sets the volume (percent, applied at once; -1 leaves it) of a stream; freq and pan are
// accepted and left as they are.
bool ChannelSetAttributes(Handle handle, int freq, int volume, int pan);
// Plays a stream, from its start if restart.
bool ChannelPlay(Handle handle, bool restart);
// 1 while the stream plays, 0 once it has stopped or played to its end (or is unknown).
uint32_t ChannelIsActive(Handle handle);
// The byte position within the image's sample data that has been played (2 bytes a sample),
// kPositionFailed for an unknown handle.
uint64_t ChannelGetPosition(Handle handle);
// Moves the playback to byte position pos (2 bytes a sample); the stream plays on from there.
bool ChannelSetPosition(Handle handle, uint64_t pos);
// Stops a playback stream at once, or ends the recording of a recording handle.
bool ChannelStop(Handle handle);
// Reads the recording without consuming it: with bit 31 of length set (kDataFft...), the
// magnitude spectrum of the latest 1024 frames as floats; otherwise up to length bytes of the
// latest s16 frames, oldest first. buffer is the caller's and must hold what is asked for.
// Returns the bytes written, kDataFailed on a handle that is not the running recording.
uint32_t ChannelGetData(Handle handle, void* buffer, uint32_t length);

// The same reads of the frames before recording frame index `end` (counted since the recording
// started) instead of the latest: whenever it comes, the read takes the same frames. kDataFailed
// unless all of them are held: recorded (RecordFrames() >= end) and not yet overwritten (the
// recording keeps about 11 s); frames before index 0 count as zeros.
uint32_t ChannelGetDataBefore(Handle handle, uint64_t end, void* buffer, uint32_t length);
// The frame index the recording has reached at this moment (fractional): the frames recorded
// and the time since the newest of them was recorded. At least RecordFrames().
double RecordNow();

// How long ago, in seconds, the frames that the last sample read (ChannelGetData) returned were
// the newest: a server hands the recording over in blocks, so they may be a block old when
// read, and they age while the caller goes on. On the virtual apparatus's manual clock 0.
double RecordAge();

// The recording as a capture reads it, beyond the latest 1024 frames: the frames recorded since
// the recording started, and the frames from index `first` on, of one channel (0 left or mono,
// 1 right), at most `max`. `lost` counts frames the recording no longer holds (read too late).
uint64_t RecordFrames();
uint32_t RecordCopy(uint64_t first, int16_t* out, uint32_t max, int channel, uint64_t& lost);

// How often since the start a playback ran dry before its end: the server played silence in
// the middle of it (the program was held up). Always 0 on the virtual apparatus.
uint64_t PlaybackGaps();

// True once the output is gone for good (the sound server stopped, the sound card unplugged):
// streams no longer play and new ones cannot be made until the program starts again.
bool OutputLost();

// Why the backend's last failure happened (for example libpulse's reason), "" if it did not
// say. Owned by the backend, valid until its next call.
const char* ErrorText();

// The backend every call above forwards to: the one of the context in use
// (platform::ContextScope puts one in place), nullptr when there is none.
AudioBackend* CurrentBackend();

}  // namespace audio
