#!/usr/bin/env python3
"""Checks docs/metadata-document.schema.json against what the mux writes
and against bad documents.

    check_schema.py SCHEMA WORKDIR [NODE]

GST_PLUGIN_PATH must find the plug-ins and the demo's stand-ins for the
SDK. Every document that the mux writes in a few pipelines (batch documents
with objects, trackers and classes; buffer-level documents; documents a
relay writes again) must be valid. The documents of the demux's bad-input
table that are not JSON or have the wrong shape must not be; those that
are well-formed documents the demux merely restores with defaults (null in
a float member) must be.

The schema must also pass strict validators: every keyword stands beside
the type it applies to (ajv's strictTypes rule, which ajv 8's strict mode
applies). With NODE, a second validator, ajv (Debian's node-ajv), judges
the same documents and must agree.
"""

import json
import os
import subprocess
import sys

import jsonschema

METADATA = ["zarndemorecords", "!", "zarndemostreammux", "!",
            "zarndemodetector", "num-objects=7", "seed=3"]
SOURCE = ["videotestsrc", "num-buffers=25", "!", "video/x-raw,width=64,height=48"]

# What each pipeline writes into its document log.
PIPELINES = {
    "batch": SOURCE + ["!"] + METADATA + ["!", "zarnnvmetamux", "savepath={log}",
                                          "!", "fakesink"],
    "buffer-level": SOURCE + ["!", "zarndemorecords", "!", "zarnnvmetamux",
                              "savepath={log}", "!", "fakesink"],
    "relayed": SOURCE + ["!"] + METADATA + ["!", "zarnnvmetamux", "!", "zarnnvmetademux",
                                            "!", "zarnnvmetamux", "savepath={log}",
                                            "!", "fakesink"],
}

GOOD = {
    "a buffer-level document without records": '{"frames":[null]}',
    "the format's example": (
        '{"frames":[{"frame_num":7,"id":42,"objects":[{"classes":[{"classifier_id":2,'
        '"result_label":"red","result_prob":0.75}],"confidence":0.5,"display_text":"car",'
        '"height":40.0,"left":10.0,"obj_label":"car","top":20.0,"tracker":{"height":40.0,'
        '"left":10.0,"object_id":3,"top":20.0,"tracker_confidence":0.5,"width":30.0},'
        '"width":30.0}],"resolution":{"mux":[640,360],"src":[960,540]},'
        '"ts":{"pipeline_time":35,"received":1600000000000}}]}'),
    "null for a NaN (the bad-input table's null in a number member)": (
        '{"frames":[{"frame_num":0,"objects":[{"left":null,"top":1.0,"width":1.0,'
        '"height":1.0,"confidence":0.5,"obj_label":"a","display_text":"b","classes":[]}]}]}'),
}

# The bad-input table's documents that are not JSON or have the wrong shape,
# and a few more shapes the mux never writes.
BAD = {
    "not JSON": b"frames: 1",
    "a length one byte short": b'"frames":[{"frame_num":3,"id":9}]}',
    "100000 nested arrays": b'{"frames":' + b"[" * 100000 + b"]" * 100000 + b"}",
    "id of the wrong type": b'{"frames":[{"id":"7"}]}',
    "frames of the wrong type": b'{"frames":"all"}',
    "invalid UTF-8 in a string": b'{"frames":[{"x":"\xff"}]}',
    "invalid UTF-8 outside strings": b'{"frames":[\xc3\xa9]}',
    "number too large for 64 bits": b'{"frames":[{"id":1e30}]}',
    "number too large for a float": (
        b'{"frames":[{"frame_num":0,"objects":[{"left":1e300,"top":1.0,"width":1.0,'
        b'"height":1.0,"confidence":0.5,"obj_label":"a","display_text":"b","classes":[]}]}]}'),
    "a 1 MiB label": (
        b'{"frames":[{"frame_num":0,"objects":[{"left":1.0,"top":1.0,"width":1.0,'
        b'"height":1.0,"confidence":0.5,"obj_label":"' + b"L" * (1 << 20) +
        b'","display_text":"","classes":[]}]}]}'),
    "an unknown member": b'{"frames":[],"extra":1}',
    "an object without its box": (
        b'{"frames":[{"frame_num":0,"objects":[{"confidence":0.5,"obj_label":"a",'
        b'"display_text":"b","classes":[]}]}]}'),
    "pipeline_time without received": b'{"frames":[{"id":1,"ts":{"pipeline_time":3}}]}',
    "a resolution of three numbers": b'{"frames":[{"id":1,"resolution":{"src":[1,2,3]}}]}',
    "a resolution beyond 32 bits": (
        b'{"frames":[{"id":1,"resolution":{"src":[4294967295,2147483648]}}]}'),
    "a negative object_id": (
        b'{"frames":[{"frame_num":0,"objects":[{"left":1.0,"top":1.0,"width":1.0,'
        b'"height":1.0,"confidence":0.5,"obj_label":"a","display_text":"b","classes":[],'
        b'"tracker":{"left":1.0,"top":1.0,"width":1.0,"height":1.0,'
        b'"tracker_confidence":0.5,"object_id":-1}}]}]}'),
}


# The keywords that apply to one type only: a schema that uses one must say
# that type, or strict validators refuse to compile it.
TYPED_KEYWORDS = {
    "object": ["properties", "required", "additionalProperties", "dependencies",
               "minProperties", "maxProperties", "patternProperties", "propertyNames"],
    "array": ["items", "additionalItems", "minItems", "maxItems", "uniqueItems", "contains"],
    "string": ["minLength", "maxLength", "pattern", "format"],
    "number": ["minimum", "maximum", "exclusiveMinimum", "exclusiveMaximum", "multipleOf"],
}


def untyped_keywords(schema, where="#"):
    """Where a keyword stands without the type it applies to."""
    found = []
    if isinstance(schema, dict):
        types = schema.get("type", [])
        types = set([types] if isinstance(types, str) else types)
        if "integer" in types:
            types.add("number")
        for kind, keywords in TYPED_KEYWORDS.items():
            for keyword in keywords:
                if keyword in schema and kind not in types:
                    found.append('%s: missing type "%s" for keyword "%s"' % (where, kind, keyword))
        for key, value in schema.items():
            if key in ("properties", "definitions", "dependencies", "patternProperties"):
                if isinstance(value, dict):
                    for name, sub in value.items():
                        found += untyped_keywords(sub, "%s/%s/%s" % (where, key, name))
            elif key not in ("enum", "const", "required", "examples", "default"):
                found += untyped_keywords(value, "%s/%s" % (where, key))
    elif isinstance(schema, list):
        for index, sub in enumerate(schema):
            found += untyped_keywords(sub, "%s/%d" % (where, index))
    return found


def second_validator(node, schema_path, judged, workdir):
    """What ajv says of the documents python's validator judged, as failures."""
    path = os.path.join(workdir, "judged-documents.json")
    with open(path, "w") as f:
        json.dump([document for _, document, _ in judged], f)
    env = dict(os.environ, NODE_PATH="/usr/share/nodejs")
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "ajv_judge.js")
    result = subprocess.run([node, script, schema_path, path], env=env, timeout=120,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if result.returncode != 0:
        return ["ajv could not judge: " + result.stderr.decode(errors="replace").strip()]
    verdicts = json.loads(result.stdout)
    print("ajv judged %d documents" % len(verdicts))
    return ["%s: ajv says %s, jsonschema %s" % (name, "valid" if v else "invalid",
                                                 "valid" if want else "invalid")
            for (name, _, want), v in zip(judged, verdicts) if v != want]


def parse(data):
    """The document as a JSON value, or None when it is not JSON."""
    try:
        return json.loads(data.decode("utf-8"))
    except (UnicodeDecodeError, ValueError, RecursionError):
        return None


def main():
    schema_path, workdir = sys.argv[1], sys.argv[2]
    node = sys.argv[3] if len(sys.argv) > 3 else None
    with open(schema_path) as f:
        schema = json.load(f)
    failures = untyped_keywords(schema)
    if not hasattr(jsonschema, "Draft7Validator"):
        # Ubuntu 18.04 has jsonschema 2.6, which knows drafts up to 4.
        print("skipped: jsonschema %s has no draft 7 validator (3.0 or later has)"
              % getattr(jsonschema, "__version__", "?"))
        return 77
    jsonschema.Draft7Validator.check_schema(schema)
    validator = jsonschema.Draft7Validator(schema)
    os.makedirs(workdir, exist_ok=True)
    # (name, document, valid) of every document judged, for the second
    # validator.
    judged = []

    for name, pipeline in PIPELINES.items():
        log = os.path.join(workdir, name + "-documents.txt")
        if os.path.exists(log):
            os.remove(log)
        args = ["gst-launch-1.0", "-q"] + [a.replace("{log}", log) for a in pipeline]
        subprocess.run(args, check=True, timeout=120, stdout=subprocess.DEVNULL)
        with open(log, "rb") as f:
            lines = [line.rstrip(b"\n")[:-1] for line in f]
        kinds = set()
        for number, line in enumerate(lines):
            document = parse(line)
            errors = list(validator.iter_errors(document)) if document is not None else []
            if document is None or errors:
                failures.append("%s document %d is not valid: %s" % (
                    name, number, errors[0].message if errors else "not JSON"))
                continue
            judged.append(("%s document %d" % (name, number), document, True))
            if document["frames"] and document["frames"][0] is not None:
                kinds.add("objects" in document["frames"][0])
                if any("tracker" in o for f in document["frames"] for o in f.get("objects", [])):
                    kinds.add("tracker")
        print("%s: %d documents the mux wrote, valid" % (name, len(lines)))
        # The pipelines must have written what they are meant to test.
        expected = {"batch": {True, "tracker"}, "relayed": {True, "tracker"},
                    "buffer-level": {False}}[name]
        if len(lines) != 25 or not expected <= kinds:
            failures.append("%s: %d documents of kinds %s, expected 25 of %s" % (
                name, len(lines), kinds, expected))

    for name, text in GOOD.items():
        errors = list(validator.iter_errors(json.loads(text)))
        if errors:
            failures.append("%s is refused: %s" % (name, errors[0].message))
        judged.append((name, json.loads(text), True))
    for name, data in BAD.items():
        document = parse(data)
        if document is not None and validator.is_valid(document):
            failures.append("%s is taken as valid" % name)
        # Too deep for the JSON writer that hands documents to ajv.
        if document is not None and name != "100000 nested arrays":
            judged.append((name, document, False))
    print("%d good and %d bad documents judged" % (len(GOOD), len(BAD)))

    if node:
        failures += second_validator(node, schema_path, judged, workdir)
    else:
        print("no second validator: node was not found")

    for failure in failures:
        print("FAILED: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
