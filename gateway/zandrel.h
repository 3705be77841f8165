// gateway/: the zandrel program, a filter between a news front end and
// FidoNet message areas. One command per input line, one reply per command;
// every command opens its area, does its work and closes it again, so
// nothing lives from one command to the next.
//
// This header is the command loop's (zandrel.cpp), which only main and
// in-process harnesses use. The commands (commands.h, one file each) share
// message.h; beside them are the standard streams in the host's text mode
// (textio.h), the code page tables (recode.h) and the FidoNet identities
// shown as news ones (address.h). The gateway reaches the areas only through
// msglib's public API (msgapi.h) and its platform headers; no command file
// includes this header.
//
// A command that fails answers as the protocol wants it (nothing, or the
// NUL alone) and says why on standard error, in one line; a command that
// succeeds, and a line that is no command, say nothing there.
#ifndef ZANDREL_ZANDREL_H
#define ZANDREL_ZANDREL_H

// Handles the one command-line argument the program knows: "--version" and
// "--help" print to standard output and return true (the program then
// ends); anything else is ignored and returns false.
bool runOption(const char* arg);

// Opens the message API for the process. Recoding needs nothing: its tables
// are constants.
void startUp();
// Reads and answers commands until EXIT or end of input; returns the exit
// status (always 0).
int commandLoop();

#endif
