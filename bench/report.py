"""The measurement reports' one writer: a Markdown document (docs/*.md) built
from headings, paragraphs, lists and tables, with every table made by
table() below.

    doc = Report("Size and memory")
    doc.paragraph("Written by `scripts/measure`.")
    doc.table(["binary", "size"], [["norvaskd", 23216]])
    doc.write("docs/size-and-memory.md")
"""

import os


def cell(value):
    """A value as table text; a "|" would end the cell, so it is escaped."""
    return str(value).replace("|", "\\|").replace("\n", " ")


def table(header, rows):
    """The lines of a Markdown table with `header` and one line per row."""
    lines = ["| " + " | ".join(cell(h) for h in header) + " |",
             "|" + "---|" * len(header)]
    for row in rows:
        if len(row) != len(header):
            raise ValueError(f"a row of {len(row)} cells under {len(header)} headings: {row}")
        lines.append("| " + " | ".join(cell(c) for c in row) + " |")
    return lines


class Report:
    """A document written in one go; each part is followed by a blank line."""

    def __init__(self, title):
        self.lines = [f"# {title}", ""]

    def heading(self, text, level=2):
        self._part(["#" * level + " " + text])

    def paragraph(self, *sentences):
        """One paragraph, its sentences (or pieces) joined by blanks."""
        self._part([" ".join(s.strip() for s in sentences if s)])

    def items(self, items):
        self._part([f"- {item}" for item in items])

    def table(self, header, rows):
        self._part(table(header, rows))

    def code(self, text, language="sh"):
        self._part([f"```{language}", text.rstrip("\n"), "```"])

    def text(self):
        return "\n".join(self.lines)

    def write(self, path):
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
        with open(path, "w") as f:
            f.write(self.text())

    def _part(self, lines):
        self.lines += lines + [""]
