// What the POP3 and IMAP exchanges of a check share: the error box with its
// support line, and sending and receiving in the user's words. Each
// returns 1, or 0 after its box (the connection then closed).
#pragma once

#include <stdint.h>

#include "mailcheck/connection/reply_line.h"
#include "mailcheck/mail_check.h"   // windows.h, send_command

constexpr const char* RECEIVE_FAILED_TEXT = "メールデータ受信に失敗";

int show_error(HWND owner, const char* text);
// A receive that failed: text, or the refused certificate of a re-handshake.
int receive_failed(HWND owner, const char* text);
// One whole line into *line.
int receive_line(HWND owner, ReplyLine* line);

// IMAP over the open, secured connection: the unseen messages of the inbox
// into *count.
int imap_unseen(HWND owner, int32_t* count);
