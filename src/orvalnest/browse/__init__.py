"""The interactive terminal browser: `orvalnest browse PATH`.

Textual is imported by the modules of this package that draw, never by
`import orvalnest`; `session` holds the browsing state without any of it.
"""
