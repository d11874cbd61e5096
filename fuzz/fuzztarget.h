#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>
#include <string>

// Each fuzz target defines these. libFuzzer drives LLVMFuzzerInitialize and
// LLVMFuzzerTestOneInput; the replay test of the ordinary suite calls FuzzTargetSetUp first so
// that it can skip with the reason instead of dying where the target cannot run.
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size);

// Prepares the process once; an empty text when the target is ready, otherwise why it cannot
// run here.
std::string FuzzTargetSetUp();

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
