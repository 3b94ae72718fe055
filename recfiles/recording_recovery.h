#pragma once
// RecordingRecovery: puts right, at start-up, what an earlier run that ended without its shutdown
// (a crash, a kill, a power loss) left in the data folder and the output folders:
//   - a descriptor still in state 1 (recording) gets its WAV header set from the file's real
//     length, its stop time from the length of the audio, and state 3, or state 2 when its target
//     format wants a compression (it is then handed back for queueing), with one log line each;
//   - descriptors in state 2 are handed back for queueing (the caller drops those already queued);
//   - a compression that had replaced the recording with its codec WAV but not yet rewritten the
//     descriptor is completed (state 3);
//   - leftovers of interrupted writes go once their recording is safe: a descriptor's ".velk.part"
//     (put in place of a missing descriptor when it holds a whole record), a conversion's ".wave"
//     and a partial ".mp3" that no descriptor names.
// Only regular files are touched: descriptors inside the data folder (symbolic links are not
// followed) and audio files inside the output folders it is given; anything else is skipped with
// a log line.
//
// Threads: main thread, once at start-up, while no recorder of this data folder runs (the caller
// holds the single-instance lock) and before any channel starts or the compression processor takes
// a task, so no file it looks at belongs to a live operation.

#include <string>
#include <vector>

#include "core/rec_descriptor.h"

namespace velk {

class RecordingRecovery {
public:
    // `datafolder`: the descriptor folder (velk_path). `outputfolders`: the folders recordings
    // may lie in (the global output folder and every channel's folder). `normalize`: the setting
    // that makes every recording need a compression.
    RecordingRecovery(std::string datafolder, std::vector<std::string> outputfolders, bool normalize);

    // Walks the data folder and repairs. Returns the descriptor paths in state 2, in path order
    // (that is, by start time per day).
    std::vector<std::string> run();

    // Recordings repaired from state 1 by the last run().
    std::size_t repaired() const { return repaired_; }

private:
    void restorepart(const std::string& part, std::vector<std::string>& descriptors);
    void repair(const std::string& path, TRecDescriptor& descriptor);
    bool codecwavdone(const std::string& path, TRecDescriptor& descriptor);
    void removeleftover(const std::string& path, const std::string& why);
    bool ownaudio(const std::string& path) const;

    std::string datafolder_;
    std::vector<std::string> outputfolders_;
    bool normalize_;
    std::size_t repaired_ = 0;
};

}  // namespace velk
