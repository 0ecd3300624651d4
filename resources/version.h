// The program's version, in one place: the code, the resource script and
// the tools (tools/package, tools/test, the end-to-end run) read it here.
#pragma once

#define QB_VERSION_MAJOR 1
#define QB_VERSION_MINOR 1
#define QB_VERSION "1.1"
#define QB_NAME_AND_VERSION "Quillbeam v" QB_VERSION
