// The friends plug-in's windows: the friend panel (Friend_main), the friend-request notice
// (Friend_message), the search window (Friend_search), the profile window (Friend_info) and the
// room-invitation window (Friend_pray). They show what the manager gives them and call it back.
#pragma once

#include "friend_info.h"
#include "friend_main.h"
#include "friend_message.h"
#include "friend_pray.h"
#include "friend_search.h"
