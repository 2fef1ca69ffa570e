// Calling convention and visibility of the plug-in's exported functions.
#ifndef DIVIVEZ_BOUNDARY_EXPORT_H_
#define DIVIVEZ_BOUNDARY_EXPORT_H_

#if defined(_WIN32)
#define DIVIVEZ_CDECL __cdecl
#define DIVIVEZ_EXPORT  // the module definition file lists the exports
#else
#define DIVIVEZ_CDECL
#define DIVIVEZ_EXPORT __attribute__((visibility("default")))
#endif

#endif  // DIVIVEZ_BOUNDARY_EXPORT_H_
