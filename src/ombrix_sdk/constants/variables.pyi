__all__ = ["TOKEN_FILE"]

TOKEN_FILE: str
