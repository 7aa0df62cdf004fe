#pragma once
// A short-lived CPU parallel loop over rows: contiguous chunks, one std::thread
// per chunk after the first, joined before returning. Chunks never overlap, so
// bodies that write only their own rows need no lock.

#include <functional>
#include <thread>
#include <vector>

namespace tavro::gui {

using RowRangeBody = std::function<void(int from, int to)>;

// Runs body over [begin, end) with up to 16 threads (the hardware concurrency);
// ranges under 64 rows run on the calling thread. An exception of a body is
// rethrown on the calling thread once every started thread has been joined.
void parallelForRows(int begin, int end, const RowRangeBody& body);

namespace detail {

struct RowChunk {
    int begin;
    int end;
};

// The chunks parallelForRows runs for a machine reporting `hardwareThreads`.
std::vector<RowChunk> planRowChunks(int begin, int end, unsigned hardwareThreads);

using ThreadStarter = std::function<std::thread(std::function<void()>)>;

// parallelForRows with the machine and the way threads are started given, so
// that a failing start can be exercised. Chunks whose thread could not start
// run on the calling thread.
void parallelForRows(int begin, int end, const RowRangeBody& body, unsigned hardwareThreads,
                     const ThreadStarter& startThread);

} // namespace detail

} // namespace tavro::gui
