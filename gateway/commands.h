// The four commands, one file each. A handler gets the whole command line
// without its line feed (the verb, a space, then its arguments), answers on
// gwOut() and, when it fails, says why on gwErr() through commandFailed; it
// adds no framing of its own. The command loop (zandrel.cpp) calls it and
// ends the reply as the command's row of its table says.
#ifndef ZANDREL_COMMANDS_H
#define ZANDREL_COMMANDS_H

// STAT area group: the area's line of an active file (group.cpp).
void groupInfo(const char* str);
// HEAD area x numbers...: one overview line per message found (overview.cpp).
void listHeaders(const char* str);
// RETR area number: the message as a news article (article.cpp).
void getArticle(const char* str);
// POST area orig dest length, then the article: stores it (post.cpp).
void postArticle(const char* str);

#endif
