// Framework exceptions of the control's platform.
//
// Operations run their work inside a guard that catches these (memory, file,
// general, in that order of specificity). Memory exhaustion surfaces as
// CMemoryException: code that allocates through the platform throws it, and
// the guards also treat std::bad_alloc as a memory failure.
#pragma once

#include <exception>
#include <new>

namespace platform {

class CException : public std::exception {
public:
    const char* what() const noexcept override { return "framework failure"; }
};

class CMemoryException : public CException {
public:
    const char* what() const noexcept override { return "out of memory"; }
};

class CFileException : public CException {
public:
    const char* what() const noexcept override { return "file failure"; }
};

// Which framework failure a guard caught.
enum class CaughtFailure { None, Memory, File, General };

// Runs `work` and catches framework failures the way an operation's guard
// does: CMemoryException (and std::bad_alloc), CFileException, CException.
// Anything else propagates.
template <class Work>
CaughtFailure runGuarded(Work&& work) {
    try {
        work();
        return CaughtFailure::None;
    } catch (const CMemoryException&) {
        return CaughtFailure::Memory;
    } catch (const std::bad_alloc&) {
        return CaughtFailure::Memory;
    } catch (const CFileException&) {
        return CaughtFailure::File;
    } catch (const CException&) {
        return CaughtFailure::General;
    }
}

// Runs `fn`, turning std::bad_alloc into the framework's CMemoryException.
template <class Fn>
auto translatingBadAlloc(Fn&& fn) {
    try {
        return fn();
    } catch (const std::bad_alloc&) {
        throw CMemoryException();
    }
}

}  // namespace platform
