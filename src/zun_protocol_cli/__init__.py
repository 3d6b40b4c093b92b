"""The `zun-protocol` command line: what an operator needs from a shell on the host of a back
end (the spill queue, archives of envelopes), built on the public API of `zun_protocol`."""
from zun_protocol_cli.app import main

__all__ = ["main"]
