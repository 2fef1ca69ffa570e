// The opcodes of the dialogue fuzzer's input script (dialogue_fuzzer.cpp
// describes each event and its operands; dialogue_corpus.cpp writes them).
#ifndef DIVIVEZ_TESTS_FUZZ_FUZZ_EVENTS_H_
#define DIVIVEZ_TESTS_FUZZ_FUZZ_EVENTS_H_

enum EOp : int {
  kOpClient,
  kOpServer,
  kOpAuto,
  kOpVerdict,
  kOpKeepAlive,
  kOpThrow,
  kOpSocketFault,
  kOpTick,
  kOpReconnect,
  kOpSpoolFault,
  kOpRepeat,
  kOpPoll,
  kOpToken,
  kOpMessage,
  kOpServerRepeat,
  kOpCount
};

#endif  // DIVIVEZ_TESTS_FUZZ_FUZZ_EVENTS_H_
