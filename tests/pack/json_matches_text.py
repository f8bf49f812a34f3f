"""check --json against the text of the same run: the same plan and findings
line for line, each finding's key the one on its line of the list, and the
same exit status.  json_matches_text.py FOLDER JSON TEXT STATUS"""
import json
import sys

folder, json_path, text_path, status = sys.argv[1:]
document = json.load(open(json_path, encoding="utf-8"))
text = open(text_path, encoding="utf-8").read().splitlines()
list_lines = open(folder + "/mirrolet.ini", encoding="ascii").read().splitlines()

plan = ["  %03d  %s  ->  %s" % (e["entry"], e["source"] or "(none)", e["destination"] or "(none)")
        for e in document["plan"]]
findings = ["%s: %s: %s [%s]" % ("mirrolet.ini:%d" % f["line"] if f["line"] else "folder", f["severity"],
                                 f["text"], f["kind"]) for f in document["findings"]]
assert text[1:1 + len(plan)] == plan, (text, plan)
assert text[1 + len(plan):-1] == findings, (text, findings)
for f in document["findings"]:
    on_line = list_lines[f["line"] - 1].split("=")[0] if f["line"] and "=" in list_lines[f["line"] - 1] else None
    assert f["key"] == on_line, (f, on_line)
assert document["status"] == int(status), (document["status"], status)
print("%d entries and %d findings, the same as the text; exit status %d"
      % (len(plan), len(findings), document["status"]))
