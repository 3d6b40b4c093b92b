import sys

from zun_protocol_cli.app import main

sys.exit(main())
