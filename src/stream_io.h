// Reading a C++ input stream in blocks for the scan, shared by the stream
// entry points (the byte stream into an ostream, and portions handed over).
//
// For the stream adapters; not installed.
#ifndef TAGCUT_STREAM_IO_H_
#define TAGCUT_STREAM_IO_H_

#include <exception>
#include <functional>
#include <istream>
#include <span>

namespace tagcut {

// Reads `in` to its end, handing each block to `feed` (which returns false
// to stop early) and calling `before_wait` before every read that may block
// (no buffered input left), so whatever was released can be delivered
// first. An exception from the input's stream buffer ends the input like its
// end would and is returned instead of thrown.
std::exception_ptr ReadStreamInBlocks(
    std::istream& in, const std::function<bool(std::span<const unsigned char>)>& feed,
    const std::function<void()>& before_wait);

// After the output is complete: sets eofbit on `in`, or, after `input_error`,
// badbit, rethrowing the error where `in.exceptions()` asks for badbit.
void SettleInputState(std::istream& in, const std::exception_ptr& input_error);

}  // namespace tagcut

#endif  // TAGCUT_STREAM_IO_H_
