"""The commands of `orvalnest`, one module each; `orvalnest.cli` picks one."""
