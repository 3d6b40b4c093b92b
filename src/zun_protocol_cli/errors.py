"""Exit statuses, and the failure every command raises for an outcome it expects."""

EXIT_OK = 0
EXIT_FAULT = 1  # the command ran and found a fault (or could not finish its work)
EXIT_USAGE = 2  # the command line, or an input file it names, is unusable


class CommandError(Exception):
    """An expected failure: shown as one line on stderr, never as a traceback."""

    def __init__(self, message: str, status: int = EXIT_FAULT) -> None:
        super().__init__(message)
        self.status = status


class UsageError(CommandError):
    def __init__(self, message: str) -> None:
        super().__init__(message, EXIT_USAGE)
