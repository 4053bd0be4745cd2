# SPDX-License-Identifier: GPL-3.0-or-later
# Runs the Orca screen reader with its debug log, which holds every event it
# receives and every text it would speak ("SPEECH OUTPUT: '...'"), without a
# speech server: nothing is spoken aloud and no speech daemon is started.
#
#   orca_debug_log.py LOG_FILE PREFERENCES_DIR
#
# Orca's own launcher refuses to start while any other Orca of the same user
# runs, anywhere on the machine; each test runs its own on a private
# accessibility bus, so this starts Orca the way the launcher does, without
# that check. The log is written line by line, so a test can read it as it
# grows.
import sys

from orca import debug

debug.debugLevel = debug.LEVEL_ALL
debug.eventDebugLevel = debug.LEVEL_OFF
debug.debugFile = open(sys.argv[1], "w", buffering=1, encoding="utf-8")

from orca import orca  # noqa: E402  (after the log is set up, as Orca's launcher does)

manager = orca.getSettingsManager()
manager.activate(sys.argv[2], {"speechServerFactory": ""})
sys.path.insert(0, manager.getPrefsDir())
sys.exit(orca.main())
