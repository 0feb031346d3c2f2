import sys

import nefa.cli

sys.exit(nefa.cli.main())
