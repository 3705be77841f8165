// The gateway: a filter process between a news front end and FidoNet message
// areas. One command per input line, one reply per command; every command
// opens its area, does its work and closes it again, so nothing lives from
// one command to the next.
#ifndef ZANDREL_ZANDREL_H
#define ZANDREL_ZANDREL_H

#include "msgapi.h"

// Longest command line handled at once; longer lines arrive in pieces.
constexpr int MAX_LINE = 8191;

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
