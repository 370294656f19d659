// Virus database update steps of the update thread.

#include "znantivirus_p.h"

// Runs before the engine step of every update-thread run: the relocations
// queued in virusdbMoves when the work area changed, then the online update
// when virusdbUpgradeRequested is set.
//
// Neither is built yet: queued relocations stay in virusdbMoves and a
// requested upgrade stays requested, so the engine step works on whatever
// virusdbDir holds. Both land here together with the download client.
void ZNAntiVirusPrivate::relocateAndUpgrade()
{
}
