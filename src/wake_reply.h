// Why the reply to the wake-up is not the loader's banner: what it shows of
// the line and the chip, told on standard error so that the user can act.
#pragma once

// Told only once the reply has been found not to be the banner, given with
// the wake-up it answers. Whatever is quoted from the reply is escaped.
void explainWakeReply(const unsigned char *reply, int count, const char *wakeUp,
                      const char *banner);
