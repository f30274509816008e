"""`python -m tessmoor_bulk`: the command line `tessmoor`."""

from .cli import main

raise SystemExit(main())
