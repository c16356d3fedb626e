"""Runnable demonstrations of the SDK (python -m ombrix_sdk.demo)."""
