// The rules that accept or refuse the entries of the two settings forms.
#pragma once

constexpr int MIN_CHECK_TIME = 30;              // seconds; no upper limit
constexpr char SETUP_CHECK_TIME[] = "300";      // the setup form has no check-time field
