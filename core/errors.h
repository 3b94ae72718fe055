#pragma once
// The error types of the recorder. Every error carries a message text (the exact text the
// user or the status log sees) and, where a platform call failed, that call's result code.

#include <optional>
#include <stdexcept>
#include <string>

namespace velk {

// Base of all recorder errors: a message and an optional integer code.
class EVelkError : public std::runtime_error {
public:
    explicit EVelkError(const std::string& message) : std::runtime_error(message) {}
    EVelkError(const std::string& message, int code) : std::runtime_error(message), code_(code) {}

    const std::optional<int>& code() const noexcept { return code_; }

private:
    std::optional<int> code_;
};

// Errors of the WAV and MP3 writers and the codec layer (code -1 unless a codec reported one).
class EMakerError : public EVelkError {
public:
    explicit EMakerError(const std::string& message, int code = -1) : EVelkError(message, code) {}
};

// Errors of the consumer capture devices (code: the platform's result code).
class EDirectSoundError : public EVelkError {
public:
    EDirectSoundError(const std::string& message, int code) : EVelkError(message, code) {}
};

// Errors of the playback output and the stream decoder (code: the platform's result code).
class EDirectXError : public EVelkError {
public:
    EDirectXError(const std::string& message, int code) : EVelkError(message, code) {}
};

// Errors of the audio file reader of the recordings browser.
class EAudioReadError : public EVelkError {
public:
    EAudioReadError(const std::string& message, int code) : EVelkError(message, code) {}
};

// An operating-system call failed; the message is the system's text for `errnum`.
class EOSError : public EVelkError {
public:
    explicit EOSError(int errnum);
    EOSError(const std::string& prefix, int errnum);
};

// The system's text for an errno value, e.g. "No such file or directory".
std::string systemerrortext(int errnum);

}  // namespace velk
