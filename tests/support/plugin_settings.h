// The plug-in's process-wide settings as tests set them: where the plug-in
// reads them (the environment, read again at every new connection on POSIX)
// and in the global a session looks at.
#ifndef DIVIVEZ_TESTS_SUPPORT_PLUGIN_SETTINGS_H_
#define DIVIVEZ_TESTS_SUPPORT_PLUGIN_SETTINGS_H_

// Whether a message that cannot be spooled is relayed unscanned.
void SetRelayUnspooled(bool relay);
// The trace level, kept by connections opened later too (POSIX reads it
// afresh at every new connection).
void SetTraceLevel(int level);
// The callback version the host speaks (1: today's callback; 2: it may
// reject and is asked about each connection).
void SetCallbackVersion(int version);

#endif  // DIVIVEZ_TESTS_SUPPORT_PLUGIN_SETTINGS_H_
