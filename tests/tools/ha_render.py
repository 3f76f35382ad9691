# Renders MQTT discovery templates as Home Assistant does: value_json is the
# parsed payload, value its raw text. Reads [{"id", "template", "payload"}]
# as JSON from the file named first; prints "id<TAB>rendered" per job, or
# "id<TAB>ERROR: why" when the template does not render.
import json
import sys

import jinja2

env = jinja2.Environment()
for job in json.load(open(sys.argv[1], encoding="utf-8")):
    try:
        variables = {"value": job["payload"], "value_json": json.loads(job["payload"])}
        out = env.from_string(job["template"]).render(variables)
    except Exception as e:  # noqa: BLE001 - every failure is reported per job
        out = "ERROR: " + str(e).replace("\n", " ")
    print(job["id"] + "\t" + out.replace("\n", " "))
