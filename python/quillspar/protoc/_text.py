"""Python source text for the generated modules: docstring literals."""

__all__ = ["docstring"]


def docstring(text: str, indent: str) -> list[str]:
    """A docstring for `text` at `indent`, escaped so that any comment text
    stays one string literal."""
    escaped: list[str] = []
    for ch in text:
        if ch == "\\":
            escaped.append("\\\\")
        elif ch in "\n\t" or (ch.isprintable() and ch not in "\x85\u2028\u2029"):
            escaped.append(ch)
        else:
            escaped.append(f"\\u{ord(ch):04x}" if ord(ch) <= 0xFFFF else f"\\U{ord(ch):08x}")
    body = "".join(escaped).replace('"""', '\\"\\"\\"')
    if body.endswith('"'):
        body = body[:-1] + '\\"'
    lines = body.split("\n")
    if len(lines) == 1:
        return [f'{indent}"""{body}"""']
    out = [f'{indent}"""{lines[0]}']
    out += [f"{indent}{line}" if line else "" for line in lines[1:]]
    out.append(f'{indent}"""')
    return out
