// The gateway: a filter process between a news front end and FidoNet message
// areas. One command per input line, one reply per command; every command
// opens its area, does its work and closes it again, so nothing lives from
// one command to the next.
//
// A command that fails answers as the protocol wants it (nothing, or the
// NUL alone) and says why on standard error, in one line; a command that
// succeeds, and a line that is no command, say nothing there.
#ifndef ZANDREL_ZANDREL_H
#define ZANDREL_ZANDREL_H

#include <string>

#include "msgapi.h"

#define ZANDREL_VERSION "1.2"

// Longest command line handled at once; longer lines arrive in pieces.
constexpr int MAX_LINE = 8191;

// The reason for a command line that lacks a part the command needs.
constexpr const char BAD_LINE[] = "bad command line";

// Tells on standard error why a command failed:
// "zandrel: RETR #/var/fido/jam/ru.linux: message 12 not found". An empty
// `spec` (a line too short to have one) is left out. Control characters of
// the spec are shown as "?": the line goes to a terminal or a log.
void commandFailed(const char* command, const std::string& spec, const char* reason);

// Handles the one command-line argument the program knows: "--version" and
// "--help" print to standard output and return true (the program then
// ends); anything else is ignored and returns false.
bool runOption(const char* arg);

// Opens the area named by an area spec: "$path" Squish, "#path" JAM,
// "@path" *.MSG echo area, any other text a *.MSG netmail directory. With
// `write` non-zero a missing area is created. Null when it cannot be opened.
HAREA openArea(const char* p, int write);

// Removes every CR and LF from the end of `s`, in place.
void chomp(char* s);

// The commands. Each gets the whole command line without its line feed.
void groupInfo(const char* str);    // STAT
void listHeaders(const char* str);  // HEAD
void getArticle(const char* str);   // RETR
void postArticle(const char* str);  // POST

// Installs the recoding tables and opens the message API.
void startUp();
// Reads and answers commands until EXIT or end of input; returns the exit
// status (always 0).
int commandLoop();

#endif
