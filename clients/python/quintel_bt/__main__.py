import sys

from .terminal import main

sys.exit(main())
