// Reads untrusted bytes as the standard output of `squeue --json`, and of squeue's text form,
// and asks each about the job IDs that the seeds use; then once more as a failed run whose
// standard error is the same text.
// With a 0 byte in the input, the bytes after it are standard error instead.

#include "SlurmQueueSnapshot.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

namespace {

void lookUpAll(const SlurmQueueSnapshot &snapshot)
{
    (void)snapshot.saysJobUnknown();
    static const int ids[] = {0, 1, 2, 3, 4, 5, 7, 8, 777, 779, 787, 780, 783, 1148, 1115, -1,
                              std::numeric_limits<int>::max()};
    for (const int id : ids) {
        const SlurmJobReading reading = snapshot.lookup(id);
        if (reading.outcome == SlurmJobReading::Outcome::Found)
            (void)SlurmQueueSnapshot::jobStateFor(reading.stateWord, 0);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char *>(data), size);
    const std::size_t zero = input.find('\0');
    const std::string output = input.substr(0, zero);
    const std::string standardError = zero == std::string::npos ? std::string()
                                                                : input.substr(zero + 1);
    lookUpAll(SlurmQueueSnapshot::fromOutput(output, 0, standardError));
    lookUpAll(SlurmQueueSnapshot::fromOutput(output, 1, input));
    lookUpAll(SlurmQueueSnapshot::fromTextOutput(output, 0, standardError));
    lookUpAll(SlurmQueueSnapshot::fromTextOutput(output, 1, input));
    return 0;
}
