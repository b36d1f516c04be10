"""The launcher's resources at pack time: the texts, icon and version block
the options ask for, checked and handed to vorlane-resources.mjs (resedit)
as one JSON job."""

import json
import os
import subprocess

from .messages import PackError
from .programs import SOURCE, find_tool, tool_output

# The launcher reads strings into 256-character buffers, terminator included.
TEXT_CAPACITY = 255


def resource_job(options, pin):
    """The resource changes the options ask for, as vorlane-resources.mjs takes
    them, with the runtime's pin as string 8 (None: no pin); None when nothing
    is to change."""
    strings = {"8": pin} if pin else {}
    for sid, value in ((4, options.setting4), (5, options.setting5), (6, options.setting6),
                       (7, options.publisher)):
        if value is not None:
            strings[str(sid)] = value if value != "" else None
    version_strings = {}
    for key, value in (("ProductName", options.product_name), ("CompanyName", options.company_name),
                       ("FileDescription", options.file_description), ("LegalCopyright", options.copyright),
                       ("OriginalFilename", options.original_filename)):
        if value is not None:
            version_strings[key] = value
    job = {"strings": strings, "icon": os.path.abspath(options.icon) if options.icon else None,
           "version": options.version, "versionStrings": version_strings}
    if not strings and not job["icon"] and not job["version"] and not version_strings:
        return None
    return job


def check_texts(options):
    for flag, value in (("--setting4", options.setting4), ("--setting5", options.setting5),
                        ("--setting6", options.setting6), ("--publisher", options.publisher),
                        ("--product-name", options.product_name), ("--company-name", options.company_name),
                        ("--file-description", options.file_description), ("--copyright", options.copyright),
                        ("--original-filename", options.original_filename)):
        if value is None:
            continue
        if "\0" in value:
            raise PackError("%s holds a NUL character" % flag)
        units = len(value.encode("utf-16-le")) // 2
        if flag.startswith(("--setting", "--publisher")) and units > TEXT_CAPACITY:
            raise PackError("%s is %d characters long: the launcher reads at most %d (it would cut the rest)"
                            % (flag, units, TEXT_CAPACITY))
    if options.publisher == "":
        raise PackError("--publisher is empty: the launcher would refuse every runtime library")
    if options.icon is not None and not os.path.isfile(options.icon):
        raise PackError("icon not found: %s" % options.icon)


def rewrite_resources(image, job, work, here):
    """The image with its resources rewritten by vorlane-resources.mjs."""
    script = None
    for place in (os.path.join(here, "vorlane-resources.mjs"), os.path.join(SOURCE, "vorlane-resources.mjs")):
        if os.path.isfile(place):
            script = place
            break
    if script is None:
        raise PackError("vorlane-resources.mjs not found next to %s" % here)
    if not os.path.isdir(os.path.join(os.path.dirname(script), "node_modules", "resedit")):
        raise PackError("the resedit library is not installed next to %s: run scripts/bootstrap.sh "
                        "(or npm ci in that folder)" % script)
    node = find_tool("VORLANE_NODE", ["node", "nodejs"])
    if not node:
        raise PackError("rewriting resources needs Node.js: node not found on PATH (set VORLANE_NODE)")
    job = dict(job, input=os.path.join(work, "launcher.exe"), output=os.path.join(work, "launcher-app.exe"))
    with open(job["input"], "wb") as f:
        f.write(image)
    with open(os.path.join(work, "resources.json"), "w", encoding="utf-8") as f:
        json.dump(job, f, ensure_ascii=False)
    result = subprocess.run([node, script, os.path.join(work, "resources.json")], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if result.returncode != 0 or not os.path.isfile(job["output"]):
        raise PackError("cannot write the resources: %s" % (tool_output(result) or "node failed"))
    with open(job["output"], "rb") as f:
        return bytearray(f.read())
