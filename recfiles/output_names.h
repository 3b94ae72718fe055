#pragma once
// Free names for the recorder's output files. No output (a recorded WAV, its temporary ".wave",
// a codec WAV, an MP3, a descriptor) ever replaces a file the recorder did not create in the same
// step: names come from a base with "-2", "-3" ... appended until one is free, and the files are
// then created exclusively, so a name that is taken in between moves on to the next number.
//
// Threads: any thread (plain functions on the file system).

#include <string>

#include "core/errors.h"

namespace velk {

// An output file could not be created because its name is taken. The message is the writer's
// usual "Can not open file:" + path + CR LF; callers that can take the next name catch this.
class EOutputNameTaken : public EMakerError {
public:
    explicit EOutputNameTaken(const std::string& path) : EMakerError("Can not open file:" + path + "\r\n") {}
};

// How many numbered names are tried before a step gives up.
inline constexpr int outputnamelimit = 10000;

// `base` itself for n = 1, else `base` + "-" + n.
std::string numberedname(const std::string& base, int n);

// Anything at all (file, folder, dangling link) stands at `path`.
bool pathtaken(const std::string& path);

// Some file a recording with the audio path `base` + ".wav" can end up with is there: the WAV,
// its temporary ".wave" or its ".mp3".
bool recordingnametaken(const std::string& base);

}  // namespace velk
