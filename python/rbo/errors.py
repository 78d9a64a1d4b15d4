"""The exceptions of the rbo package."""


class Error(Exception):
    """Base class of every exception the package raises on its own."""


class ProblemError(Error, ValueError):
    """A problem that cannot be used: every mistake found, located.

    ``diagnostics`` is a list of ``(location, message)`` pairs, the location a
    JSON path such as ``"/random_variables/1/sd"``; ``reports`` holds, per
    diagnostic, the library's own report lines (empty when it wrote none).
    A problem the library refuses to evaluate the way asked has no
    diagnostics; ``report`` then holds what the library wrote.
    """

    def __init__(self, title, diagnostics=(), report=()):
        items = [(str(loc), str(msg), [str(line) for line in lines]) for loc, msg, lines in diagnostics]
        self.diagnostics = [(loc, msg) for loc, msg, _ in items]
        self.reports = [lines for _, _, lines in items]
        self.report = list(report)
        text = [title if not items else title + ":"]
        for loc, msg, lines in items:
            text.append(f"  {loc}: {msg}" if loc else f"  {msg}")
            text.extend(f"      | {line}" for line in lines)
        super().__init__("\n".join(text))


class AnalysisError(Error):
    """An analysis that failed: it raised, or gave the wrong number of values
    or a value that is not a finite number.

    ``point`` is the index of the failing point within its batch (None when
    the whole batch failed at once, as when the analysis raised), ``inputs``
    the inputs of that point (name to value) or of the whole batch (name to
    array), ``response`` the response at fault (None when the analysis
    raised), and ``python_message`` the Python exception's message.
    """

    def __init__(self, message, point=None, inputs=None, response=None, python_message=None):
        super().__init__(message)
        self.point = point
        self.inputs = inputs
        self.response = response
        self.python_message = python_message


class EvaluationError(Error):
    """An evaluation that gave no usable result: a statistic that is not a
    finite number, a batch too large for the memory."""

    def __init__(self, message, report=()):
        super().__init__(message)
        self.report = list(report)


class LibraryError(Error):
    """The library failed; ``report`` holds its report lines."""

    def __init__(self, message, report=()):
        self.report = list(report)
        text = message
        if self.report:
            text += "\n  the library's report:\n" + "\n".join("    " + line for line in self.report)
        super().__init__(text)
