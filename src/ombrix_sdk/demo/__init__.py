"""End-to-end demonstration of the SDK: python -m ombrix_sdk.demo --help."""
