#pragma once
// The Settings page's explanations that follow the player's choices and the server's figures.

#include <QString>

// The line under "Hide my IP address from opponents": empty (hidden) while it is off or no ping to
// the server is known yet. `pingMs`: the round trip to the server; `directAboveMs`: the server's
// "direct_above_ms", below 1 when it sends none.
QString hideIpText(bool hideIp, bool always, int pingMs, int directAboveMs);

// The note under "Input delay": `frames` below 0 for Auto, `label` the choice as shown.
QString delayNote(int frames, const QString &label);
