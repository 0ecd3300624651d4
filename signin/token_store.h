// The sign-in kept between runs: the refresh token, with the server and the
// account it is for, in signin.dat beside user.ini, protected with DPAPI
// for this Windows user and owner-only like user.ini. Win32 side.
#pragma once

#include <windows.h>

#include "settings/user_settings.h"
#include "signin/oauth_text.h"

struct StoredSignin {
    char server[SETTING_TEXT_SIZE];   // the server field as typed
    char account[SETTING_TEXT_SIZE];
    char refresh_token[TOKEN_SIZE];
};

// name beside user.ini, as a Windows path: false when it does not fit.
bool path_beside_settings(const char* name, char* out, size_t size);
// False when there is none, or it is not this user's or not whole.
bool load_signin(StoredSignin* out);
// Whole or not at all: a temporary file, then the old one replaced.
bool save_signin(const StoredSignin& signin);
void forget_signin();
