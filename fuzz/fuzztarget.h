#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <string>

// libFuzzer drives these two, which fuzztarget.cpp defines once for every target: the first
// prepares the process, or ends it with the reason, and the second hands each input over.
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

// Each fuzz target defines these two. The replay test of the ordinary suite calls
// FuzzTargetSetUp first so that it can skip with the reason instead of dying where the target
// cannot run.
// Prepares the process once; an empty text when the target is ready, otherwise why it cannot
// run here.
std::string FuzzTargetSetUp();
// One input, checked with FUZZ_CHECK.
void FuzzTestOneInput(const QByteArray &input);

// A broken expectation of a target: printed and aborted on, so that libFuzzer keeps the input
// as a crash and the replay test fails on it.
[[noreturn]] void FuzzFailure(const char *what, const QByteArray &detail = {});

#define FUZZ_CHECK(condition, detail)                                                              \
    do {                                                                                           \
        if (!(condition))                                                                          \
            FuzzFailure(#condition, detail);                                                       \
    } while (false)

// A directory of its own under the system's temporary directory for the rest of the process,
// removed at exit; empty when none could be made.
QString FuzzScratchDirectory();
