#include "mailcheck/what_is_new.h"

#include <string.h>

#include "settings/cp932_text.h"

namespace {

void remember_id(MailboxMemory* m, const char* id)
{
    if (m->seen < SEEN_IDS)
        copy_text(m->seen_ids[m->seen++], UIDL_ID_SIZE, id);
}

} // namespace

void start_finding(Finding* f, int32_t count, const char* server, const char* account)
{
    memset(f, 0, sizeof *f);
    f->count = count;
    f->memory.known = true;
    f->memory.count = count;
    copy_text(f->memory.server, sizeof f->memory.server, server);
    copy_text(f->memory.account, sizeof f->memory.account, account);
}

bool same_mailbox(const MailboxMemory& last, const Finding& now)
{
    const uint32_t validity = now.memory.uidvalidity;
    return last.known && strcmp(last.server, now.memory.server) == 0 && strcmp(last.account, now.memory.account) == 0
        && (validity == 0 || last.uidvalidity == 0 || validity == last.uidvalidity);
}

bool count_rose(const MailboxMemory& last, const Finding& now)
{
    return now.count > 0 && (!same_mailbox(last, now) || now.count > last.count);
}

int seen_at(const MailboxMemory& last, const char* id)
{
    for (int i = 0; i < last.seen; ++i)
        if (strcmp(last.seen_ids[i], id) == 0)
            return i;
    return -1;
}

void pop3_without_seen_ids(Finding* f, const MailboxMemory& last, const char* newest_id)
{
    f->arrived = count_rose(last, *f);
    f->memory.seen = 0;
    remember_id(&f->memory, newest_id);
}

void pop3_nothing_arrived(Finding* f, const MailboxMemory& last, int at)
{
    f->arrived = false;
    f->memory.seen = 0;
    for (int i = at; i < last.seen; ++i)
        remember_id(&f->memory, last.seen_ids[i]);
}

void pop3_arrived_at_end(Finding* f, const MailboxMemory& last, const char* newest_id)
{
    // The ids between the two are not asked (one line a check): should the
    // newest alone be deleted later, the list's walk finds the last newest
    // and counts these again, one notification too many.
    f->arrived = true;
    f->memory.seen = 0;
    remember_id(&f->memory, newest_id);
    for (int i = 0; i < last.seen; ++i)
        remember_id(&f->memory, last.seen_ids[i]);
}

void walk_entry(IdWalk* walk, const MailboxMemory& last, int32_t number, const char* id)
{
    if (seen_at(last, id) >= 0 && number > walk->last_seen_number)
        walk->last_seen_number = number;
    copy_text(walk->ring[walk->entries % SEEN_IDS], UIDL_ID_SIZE, id);
    ++walk->entries;
}

void pop3_after_walk(Finding* f, const IdWalk& walk)
{
    // After the newest one still listed, or all of them when none is.
    f->arrived = f->count > walk.last_seen_number;
    f->memory.seen = 0;
    for (int32_t i = walk.entries - 1; i >= 0 && i >= walk.entries - SEEN_IDS; --i)
        remember_id(&f->memory, walk.ring[i % SEEN_IDS]);
}

uint32_t uidnext_to_remember(uint32_t uidnext, uint32_t highest_seen)
{
    return uidnext != 0 && highest_seen != UINT32_MAX && highest_seen >= uidnext ? highest_seen + 1 : uidnext;
}
