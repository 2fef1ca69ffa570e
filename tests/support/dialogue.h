// The runner that plays SMTP dialogues (dialogue_table.h) through the
// plug-in's exports against the fake host, with the transcripts compared with
// the table's expectations before every chunk and at the end.
#ifndef DIVIVEZ_TESTS_SUPPORT_DIALOGUE_H_
#define DIVIVEZ_TESTS_SUPPORT_DIALOGUE_H_

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "support/dialogue_table.h"
#include "support/fake_host.h"

// How the chunks of a dialogue reach the plug-in.
enum class ESplit {
  kScripted,       // each chunk in one read
  kSplitOneCall,   // each chunk in turn split at every offset: two reads, one call
  kSplitTwoCalls,  // ... two reads, each in its own handler call
  kBytePerRead,    // every chunk one byte per read, one handler call per byte
};

// Plays the dialogue in every variant of the mode, each on a fresh connection
// ended at the end, and reports the first failing variant through gtest.
void RunDialogue(CHostHarness& host, const SDialogue& dialogue, ESplit mode);

#endif  // DIVIVEZ_TESTS_SUPPORT_DIALOGUE_H_
