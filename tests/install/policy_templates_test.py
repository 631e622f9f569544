#!/usr/bin/env python3
"""The Group Policy templates against the policy values the agent reads: every value the
templates write (key, value name, registry type, the numbers a policy can write) must be
one the agent reads with that type and exactly that range, and every value the agent
reads must be in the templates. The agent's side comes from its own table
(app/agent_policy_values.cpp), printed by policy_table.exe under Wine, so the constants
are the compiled ones, not text read out of the source. Also: every string, presentation,
category and supportedOn definition the ADMX names exists, and each presentation shows
exactly the elements of its policy.

    policy_templates_test.py <folder of talvern.admx> <policy_table.exe>"""
import json, os, re, subprocess, sys
import xml.etree.ElementTree as ET

WINE = "/usr/lib/wine/wine64"
NS = "{http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions}"
REG_TYPES = {1: "REG_SZ", 2: "REG_EXPAND_SZ", 4: "REG_DWORD"}

admx_dir, table_exe = sys.argv[1], sys.argv[2]
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL: " + what, flush=True)
    return ok


def agent_values():
    """{value name (case-folded): (name, key, type, (min, max) or None)} from the agent's table."""
    run = subprocess.run([WINE, table_exe], stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
    if run.returncode != 0:
        sys.exit("FAIL: policy_table.exe exit %d: %s" % (run.returncode, run.stderr[-400:]))
    lines = [json.loads(line) for line in run.stdout.splitlines() if line.strip()]
    key = lines[0]["key"]
    values = {}
    for v in lines[1:]:
        kind = REG_TYPES.get(v["type"], "type %d" % v["type"])
        check(v["name"].casefold() not in values, "the agent reads %s twice" % v["name"])
        values[v["name"].casefold()] = (v["name"], key, kind, (v["min"], v["max"]) if kind == "REG_DWORD" else None)
    return values


def written_value(node, what):
    """REG_DWORD and its number, or REG_SZ and its text, of a <value>, <enabledValue>, ... node."""
    decimal = node.find(NS + "decimal") if node is not None else None
    string = node.find(NS + "string") if node is not None else None
    if decimal is not None:
        return "REG_DWORD", int(decimal.get("value"))
    if string is not None:
        return "REG_SZ", string.text or ""
    check(False, "%s: a value that is neither decimal nor string" % what)
    return "unknown", None


def type_and_range(written):
    """The one type of the written values and, for numbers, (min, max) when they are exactly
    min..max (else a text listing them, which matches no range)."""
    kinds = {kind for kind, _ in written}
    kind = kinds.pop() if len(kinds) == 1 else "mixed types %s" % sorted(kinds)
    if kind != "REG_DWORD":
        return kind, None
    numbers = sorted({n for _, n in written})
    if numbers == list(range(numbers[0], numbers[-1] + 1)):
        return kind, (numbers[0], numbers[-1])
    return kind, "the values %s" % numbers


def template_values(policy):
    """[(value name, key, type, range or None)] that one ADMX policy writes."""
    name, key = policy.get("name"), policy.get("key")
    found = []
    if policy.get("valueName"):
        # The policy's own value: enabled/disabled (without them, a REG_DWORD 1 and deletion).
        written = [written_value(node, name) for tag in ("enabledValue", "disabledValue")
                   for node in policy.findall(NS + tag)] or [("REG_DWORD", 1)]
        found.append((policy.get("valueName"), key, *type_and_range(written)))
    elements = policy.find(NS + "elements")
    for element in (list(elements) if elements is not None else []):
        tag, value_name = element.tag[len(NS):], element.get("valueName")
        element_key = element.get("key", key)
        if not check(value_name, "%s: element <%s> without a valueName" % (name, tag)):
            continue
        if tag == "enum":
            written = [written_value(item.find(NS + "value"), name) for item in element.findall(NS + "item")]
            found.append((value_name, element_key, *type_and_range(written)))
        elif tag == "boolean":
            written = [written_value(node, name) for tag in ("trueValue", "falseValue")
                       for node in element.findall(NS + tag)] or [("REG_DWORD", 1), ("REG_DWORD", 0)]
            found.append((value_name, element_key, *type_and_range(written)))
        elif tag == "decimal":
            check(element.get("storeAsText", "false") == "false", "%s: decimal stored as text" % name)
            found.append((value_name, element_key, "REG_DWORD",
                          (int(element.get("minValue", "0")), int(element.get("maxValue", "9999")))))
        elif tag == "text":
            found.append((value_name, element_key,
                          "REG_EXPAND_SZ" if element.get("expandable") == "true" else "REG_SZ", None))
        else:
            check(False, "%s: element <%s> is not one this check knows" % (name, tag))
    return found


admx = ET.parse(os.path.join(admx_dir, "talvern.admx")).getroot()
adml = ET.parse(os.path.join(admx_dir, "en-US", "talvern.adml")).getroot()

# --- every reference of the ADMX resolves -------------------------------------
strings = {s.get("id") for s in adml.iter(NS + "string")}
presentations = {p.get("id"): p for p in adml.iter(NS + "presentation")}
categories = {c.get("name") for c in admx.iter(NS + "category")}
supported = {d.get("name") for d in admx.iter(NS + "definition")}
for node in admx.iter():
    for attribute, text in node.attrib.items():
        for table, ref in re.findall(r"\$\((\w+)\.([^)]*)\)", text):
            known = strings if table == "string" else presentations if table == "presentation" else set()
            check(ref in known, "%s %s=%r: no %s %r in the ADML" % (node.tag[len(NS):], attribute, text, table, ref))
for ref in admx.iter(NS + "parentCategory"):
    check(ref.get("ref") in categories, "parentCategory %r is not defined" % ref.get("ref"))

# --- the policies: where they write, and what -------------------------------
agent = agent_values()
templates = {}
for policy in admx.iter(NS + "policy"):
    name = policy.get("name")
    check(policy.get("class") == "Machine", "%s: class %r, not Machine (the agent reads HKLM)" % (name, policy.get("class")))
    check([s.get("ref") for s in policy.findall(NS + "supportedOn")] != [] and
          all(s.get("ref") in supported for s in policy.findall(NS + "supportedOn")),
          "%s: no supportedOn that is defined" % name)
    elements = policy.find(NS + "elements")
    element_ids = {e.get("id") for e in (list(elements) if elements is not None else [])}
    shown = policy.get("presentation")
    if shown:
        match = re.fullmatch(r"\$\(presentation\.([^)]*)\)", shown)
        controls = presentations.get(match.group(1)) if match else None
        shown_ids = {c.get("refId") for c in list(controls)} if controls is not None else set()
        check(shown_ids == element_ids, "%s: the presentation shows %r, the policy has %r"
              % (name, sorted(shown_ids), sorted(element_ids)))
    else:
        check(not element_ids, "%s: elements %r without a presentation" % (name, sorted(element_ids)))
    for value_name, key, kind, numbers in template_values(policy):
        check(value_name.casefold() not in templates, "the templates write %s twice" % value_name)
        templates[value_name.casefold()] = (value_name, key, kind, numbers)

# Registry names are case-insensitive: a difference in case only is no fault.
for folded in sorted(set(agent) | set(templates)):
    ours, theirs = agent.get(folded), templates.get(folded)
    if not check(ours is not None, "the templates write %s, which the agent does not read" % (theirs or ("",))[0]):
        continue
    if not check(theirs is not None, "the agent reads %s, which no template writes" % ours[0]):
        continue
    name = ours[0]
    check(ours[1].casefold() == (theirs[1] or "").casefold(), "%s: the agent reads key %r, the template writes %r"
          % (name, ours[1], theirs[1]))
    check(ours[2] == theirs[2], "%s: the agent reads %s, the template writes %s" % (name, ours[2], theirs[2]))
    check(ours[3] == theirs[3], "%s: the agent takes %r, the template writes %r" % (name, ours[3], theirs[3]))

print("%s: %d values compared (%s)" % ("FAIL" if failures else "PASS", len(agent),
                                       ", ".join(v[0] for v in agent.values())))
sys.exit(1 if failures else 0)
