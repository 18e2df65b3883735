import sys

from orvalnest.cli import main

sys.exit(main())
