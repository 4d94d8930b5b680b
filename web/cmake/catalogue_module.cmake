# catalogue.json as the emitter wrote it, and the same text as an ES module
# (export default ...), so importing it needs no fetch and no JSON modules.
file(READ ${IN} json)
file(WRITE ${OUT_DIR}/catalogue.json "${json}")
file(WRITE ${OUT_DIR}/catalogue.mjs
  "// Written at build time from catalogue.json; do not edit.\nexport default ${json};\n")
