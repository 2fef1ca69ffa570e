// Calling convention and visibility of the plug-in's exported functions, the
// one thing about them that differs between the platforms. Part of what a
// host compiles against (boundary/plugin_exports.h includes it).
#ifndef DIVIVEZ_PLATFORM_EXPORT_H_
#define DIVIVEZ_PLATFORM_EXPORT_H_

#if defined(_WIN32)
#define DIVIVEZ_CDECL __cdecl
#define DIVIVEZ_EXPORT  // the module definition file lists the exports
#else
#define DIVIVEZ_CDECL
#define DIVIVEZ_EXPORT __attribute__((visibility("default")))
#endif

#endif  // DIVIVEZ_PLATFORM_EXPORT_H_
