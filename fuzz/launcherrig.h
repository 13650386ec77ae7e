#pragma once
// One launcher without its window: the server link, the match controller, the menu bridge and the
// F3 report sender, wired as the main window wires them, against a server played by this process
// on loopback. The server's side only writes the lines it is given and reads (and forgets)
// whatever the launcher sends.

#include <QByteArray>
#include <QList>

class MenuBridge;

namespace fuzz {

// Built on the first call; connected and signed in whenever it is handed out.
class LauncherRig {
public:
    static LauncherRig &get();

    // Writes the lines to the launcher as the server, and returns once the launcher has read them
    // all (or dropped the connection on one of them).
    void deliver(const QList<QByteArray> &lines);
    MenuBridge *bridge() const;

private:
    LauncherRig();
    void ensureSignedIn();
    struct Parts;
    Parts *m;
};

} // namespace fuzz
